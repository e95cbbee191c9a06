"""The examples runner finds what drifted: changed output, a failing command,
a shown file that is no longer the file, a marker that marks nothing."""

import pathlib
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import doc_examples  # noqa: E402

RUNNER = pathlib.Path(__file__).parent / "doc_examples.py"


@pytest.mark.parametrize("expected, actual, result", [
    ("a\nb", "a\nb\n", True),
    ("a\nb\n\n", "a\nb", True),
    ("a\nb", "a\nc\n", False),
    ("a", "a\nb\n", False),
    ("time: [...] ms", "time: 0.712 ms\n", True),
    ("time: [...] ms", "time: 0.712 s\n", False),
    ("x\n[...]\ny", "x\n1\n2\ny\n", True),
    ("x\n[...]\ny", "x\ny\n", True),
    ("x\n[...]\ny", "x\n1\n", False),
    ("x\n    [...]\ny", "x\n  1\ny\n", True),
    ("['[...]']", "['14']", True),
    ("a.b (c)", "aXb (c)", False),  # no other character is special
    ("", "", True),
    ("", "something\n", False),
])
def test_shown_output_matches_only_with_visible_wildcards(expected, actual, result):
    assert doc_examples.matches(expected, actual) is result


def write(tmp_path, text):
    document = tmp_path / "page.md"
    document.write_text(text)
    return document


def test_sections_collect_their_marked_blocks_and_outputs(tmp_path):
    document = write(tmp_path, """# Page
## First one
<!-- run -->
```sh
echo one
```
Prose between.
<!-- output -->
```
one
```
```sh
not marked
```
## Second `two`
<!-- run -->
```
$ echo two
two
```
## Nothing marked
```sh {.numbered}
echo three
```
## First one
<!-- run -->
```sh
echo again
```
""")
    examples = doc_examples.read_examples(document)
    assert list(examples) == ["page.first-one", "page.second-two", "page.first-one-2"]
    first, = examples["page.first-one"]
    assert (first.language, first.text, first.output.text) == ("sh", "echo one", "one")
    second, = examples["page.second-two"]
    assert second.is_transcript() and second.output is None


@pytest.mark.parametrize("text, message", [
    ("## S\n<!-- run -->\n\n```sh\nls\n```\n", "just before"),
    ("## S\n<!-- output -->\n```\nx\n```\n", "must follow a run block"),
    ("## S\n<!-- run -->\n```\n$ ls\n```\n<!-- output -->\n```\nx\n```\n", "must follow a run block"),
    ("## S\n<!-- run -->\n```sh\nls\n", "unclosed"),
    ("## S\n<!-- run -->\n", "no block after it"),
    ("## S\n<!-- same-as -->\n```\nx\n```\n", "takes a file name"),
    ("## S\n<!-- run: x.sh -->\n```\nx\n```\n", "takes no file name"),
    ("## S\n<!-- save-as: ../x.json -->\n```\nx\n```\n", "within the example's directory"),
])
def test_a_misplaced_marker_is_an_error_naming_its_line(tmp_path, text, message):
    with pytest.raises(SystemExit, match=message):
        doc_examples.read_examples(write(tmp_path, text))


def run_example(tmp_path, text, name="page.s"):
    document = write(tmp_path, text)
    source = tmp_path / "source"
    for directory in doc_examples.LINKED:
        (source / directory).mkdir(parents=True, exist_ok=True)
    (source / "shown.txt").write_text("the file\n")
    models = tmp_path / "models"
    models.mkdir(exist_ok=True)
    (models / "m.onnx").write_bytes(b"")
    return subprocess.run(
        [sys.executable, str(RUNNER), "--run", name, "--source", str(source), "--build", str(tmp_path),
         "--zelkc", str(tmp_path), "--scratch", str(tmp_path / "scratch"), "--models", str(models),
         str(document)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


@pytest.mark.parametrize("text, passes", [
    ("<!-- run -->\n```sh\necho hi\n```\n<!-- output -->\n```\nhi\n```\n", True),
    ("<!-- run -->\n```sh\necho hi\n```\n<!-- output -->\n```\nhello\n```\n", False),
    ("<!-- run -->\n```sh\nfalse\necho after\n```\n", False),
    ("<!-- run -->\n```sh\nls m.onnx build/default\n```\n", True),
    ("<!-- run -->\n```\n$ echo a >&2; exit 1\na\n$ echo b\nb\n```\n", True),
    ("<!-- run -->\n```\n$ echo a\na\n$ echo b\nc\n```\n", False),
    ("<!-- run -->\n```\n$ kill -9 $$\n```\n", False),
    ("<!-- same-as: shown.txt -->\n```\nthe file\n```\n", True),
    ("<!-- same-as: shown.txt -->\n```\nthe old file\n```\n", False),
    ("<!-- run -->\n```cpp\nint main() {}\n```\n", False),
    ("<!-- save-as: a.txt -->\n```\nsaved\n```\n<!-- run -->\n```\n$ cat a.txt\nsaved\n```\n", True),
])
def test_an_example_fails_when_it_fails_or_drifts(tmp_path, text, passes):
    result = run_example(tmp_path, "## S\n" + text)
    assert (result.returncode == 0) is passes, result.stdout


def test_python_examples_are_skipped_without_the_package(tmp_path):
    result = run_example(tmp_path, "## S\n<!-- run -->\n```python\nprint(1)\n```\n")
    assert result.returncode == doc_examples.SKIP, result.stdout


def test_a_difference_lists_only_the_lines_that_differ(tmp_path):
    result = run_example(tmp_path, "## S\n<!-- run -->\n```\n$ printf 'a\\nt 1 ms\\n'\nb\nt [...] ms\n```\n")
    assert result.returncode == 1
    assert "-b\n+a\n t 1 ms" in result.stdout, result.stdout
