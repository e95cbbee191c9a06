"""The PyTorch example runs and says what it promises."""

import os
import pathlib
import subprocess
import sys

import pytest

import zelk_compiler

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python" / "compile_torch.py"


def run(*arguments):
    pytest.importorskip("torch", reason="PyTorch (python3-torch) is not installed")
    # The example imports the same package these tests do.
    package_root = str(pathlib.Path(zelk_compiler.__file__).parents[1])
    environment = dict(os.environ, PYTHONWARNINGS="ignore", PYTHONPATH=package_root)
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *arguments],
        capture_output=True, text=True, env=environment, check=False,
    )


def test_the_example_prints_the_memory_summary_and_largest_buffers():
    done = run("--tiles", "16", "--sequence", "32", "--hidden", "64")
    assert done.returncode == 0, done.stderr
    for line in ("tiles used:   16 of 16", "largest peak:", "largest buffers"):
        assert line in done.stdout


def test_the_example_says_when_the_model_does_not_fit():
    done = run("--tiles", "1", "--sequence", "512")
    assert done.returncode == 1, done.stderr
    assert "does not fit on 1 tile of" in done.stdout
