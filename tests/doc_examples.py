#!/usr/bin/python3
"""Runs the examples of the README and docs/*.md, so that none can fail or
drift from what the text shows.

A fenced block is marked by an HTML comment on the line just before its
opening fence (invisible on GitHub):

  <!-- run -->             run the block: ```sh is one bash script (set -e),
                           ```python one Python script; a block whose lines
                           start with "$ " is a transcript, each command run
                           on its own and followed by the output it prints
  <!-- output -->          the output of the section's last run block
  <!-- same-as: PATH -->   the block is the repository file PATH, verbatim
  <!-- save-as: NAME -->   the block is written to NAME for the run blocks after it

Shown output is compared exactly, standard error merged with standard output,
except that "[...]" within a line matches any text and a line of only
"[...]" (indented or not) matches any number of lines: the visible mark of
what varies from run to run (timings, sizes) or of what the text leaves out.

Each section (the text under one heading) with marked blocks is one example,
named FILE.heading-slug (-2, -3... for a repeated heading); its blocks run in
order in a scratch directory of its own holding copies of the example models
(scripts/onnx-fixtures --examples), links to the checkout's scripts/,
examples/, crates/ and docs/, and build/default linked to the build being
tested, with that build's zelkc first on PATH and its Python package
importable.

  doc_examples.py --list FILE...                     the example names
  doc_examples.py --run NAME --source DIR --build DIR --scratch DIR
                  --models DIR [--python-root DIR] FILE...
"""

import argparse
import difflib
import os
import pathlib
import re
import shutil
import subprocess
import sys

SKIP = 77  # CTest's SKIP_RETURN_CODE for the examples that need Python
TIMEOUT = 120
WILDCARD = "[...]"
MARKER = re.compile(r"^<!--\s*(run|output|same-as|save-as)(?::\s*(\S+))?\s*-->\s*$")
FENCE = re.compile(r"^(```+|~~~+)\s*(\S*)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
LINKED = ("scripts", "examples", "crates", "docs")


class Block:
    def __init__(self, marker, path, language, text, line):
        self.marker, self.path, self.language = marker, path, language
        self.text, self.line, self.output = text, line, None

    def is_transcript(self):
        return self.text.startswith("$ ")


def slug(heading):
    words = re.sub(r"[^a-z0-9]+", "-", heading.lower().replace("`", ""))
    return words.strip("-")


def is_plain_name(name):
    path = pathlib.PurePosixPath(name)
    return not path.is_absolute() and ".." not in path.parts


def read_examples(document):
    """Returns {name: [run or same-as Block]} in document order, each run
    block carrying the output block that follows it, if any."""
    examples, section, pending, lines = {}, None, None, document.read_text().splitlines()
    stem, headings = document.stem, {}
    index = 0
    while index < len(lines):
        line = lines[index]
        heading, marker, fence = HEADING.match(line), MARKER.match(line), FENCE.match(line)
        if heading:
            section = f"{stem}.{slug(heading.group(2))}"
            headings[section] = headings.get(section, 0) + 1
            if headings[section] > 1:
                section += f"-{headings[section]}"
        elif marker:
            if (marker.group(2) is None) != (marker.group(1) in ("run", "output")):
                raise SystemExit(f"{document}:{index + 1}: {marker.group(1)} takes "
                                 f"{'no' if marker.group(2) else 'a'} file name")
            if marker.group(1) == "save-as" and not is_plain_name(marker.group(2)):
                raise SystemExit(f"{document}:{index + 1}: save-as takes a name within the "
                                 "example's directory")
            pending = (marker.group(1), marker.group(2), index + 1)
        elif fence:
            end = next((i for i in range(index + 1, len(lines)) if lines[i].startswith(fence.group(1))
                        and not lines[i].strip("`~ ")), None)
            if end is None:
                raise SystemExit(f"{document}:{index + 1}: unclosed code block")
            if pending:
                if pending[2] != index:
                    raise SystemExit(f"{document}:{pending[2]}: the marker must be on the line just "
                                     "before the block's opening fence")
                kind, path, _ = pending
                block = Block(kind, path, fence.group(2), "\n".join(lines[index + 1:end]), index + 1)
                blocks = examples.setdefault(section or stem, [])
                if kind == "output":
                    runs = [b for b in blocks if b.marker == "run"]
                    if not runs or runs[-1].output is not None or runs[-1].is_transcript():
                        raise SystemExit(f"{document}:{index + 1}: an output block must follow a "
                                         "run block that is not a transcript and shows no output yet")
                    runs[-1].output = block
                else:
                    blocks.append(block)
            pending = None
            index = end
        index += 1
    if pending:
        raise SystemExit(f"{document}:{pending[2]}: a marker with no block after it")
    return examples


def matches(expected, actual):
    """Whether actual is expected with each [...] standing for any text."""
    pattern = []
    for line in shown(expected).splitlines():
        if line.strip() == WILDCARD:
            pattern.append(r"(?:[^\n]*\n)*?")
        else:
            pattern.append(".*?".join(map(re.escape, line.split(WILDCARD))) + r"\n")
    return re.fullmatch("".join(pattern), shown(actual)) is not None


def shown(text):
    """The text as compared: trailing blank lines dropped, one final newline."""
    return text.rstrip("\n") + "\n" if text.strip() else ""


def run(command, scratch, environment, shell):
    argv = ["bash", "-e", "-o", "pipefail", "-c", command] if shell else [sys.executable, command]
    result = subprocess.run(argv, cwd=scratch, env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
    return result.returncode, result.stdout


def filled_in(expected, actual):
    """The expected lines, each line with a [...] in it replaced by the printed
    line at the same place where that one matches it, so that a difference
    elsewhere does not also list the lines that vary."""
    printed = shown(actual).splitlines()
    lines = shown(expected).splitlines()
    return [printed[i] if i < len(printed) and WILDCARD in line and line.strip() != WILDCARD
            and matches(line, printed[i]) else line for i, line in enumerate(lines)]


def compare(where, command, expected, actual):
    if matches(expected, actual):
        return True
    diff = difflib.unified_diff(filled_in(expected, actual), shown(actual).splitlines(),
                                "shown", "printed", lineterm="")
    print(f"{where}: the output of\n  {command}\ndiffers from the text:\n" + "\n".join(diff))
    return False


def run_transcript(block, where, scratch, environment):
    """Runs each "$ " line of a transcript and compares what follows it."""
    steps = []
    for line in block.text.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        else:
            steps[-1][1].append(line)
    ok = True
    for command, expected in steps:
        status, output = run(command, scratch, environment, shell=True)
        if status < 0 or status >= 126:
            print(f"{where}: {command}\nended with status {status}:\n{output}")
            ok = False
        ok = compare(where, command, "\n".join(expected), output) and ok
    return ok


def run_block(block, where, scratch, environment, source):
    if block.marker == "same-as":
        text = (source / block.path).read_text()
        if text.rstrip("\n") == block.text.rstrip("\n"):
            return True
        diff = difflib.unified_diff(text.splitlines(), block.text.splitlines(), block.path, "shown",
                                    lineterm="")
        print(f"{where}: the block differs from {block.path}:\n" + "\n".join(diff))
        return False
    if block.marker == "save-as":
        (scratch / block.path).write_text(block.text + "\n")
        return True
    if block.is_transcript():
        return run_transcript(block, where, scratch, environment)
    if block.language == "python":
        script = scratch / f"block{block.line}.py"
        script.write_text(block.text + "\n")
        status, output = run(str(script), scratch, environment, shell=False)
    elif block.language in ("sh", "bash", "console"):
        status, output = run(block.text, scratch, environment, shell=True)
    else:
        print(f"{where}: a ```{block.language} block cannot be run")
        return False
    if status != 0:
        print(f"{where}: exited with status {status}:\n{output}")
        return False
    return block.output is None or compare(where, block.text, block.output.text, output)


def prepare(scratch, source, build, models):
    if scratch.exists():
        shutil.rmtree(scratch)
    scratch.mkdir(parents=True)
    for name in LINKED:
        (scratch / name).symlink_to(source / name)
    (scratch / "build").mkdir()
    (scratch / "build" / "default").symlink_to(build)
    for model in sorted(models.glob("*.onnx")):
        shutil.copyfile(model, scratch / model.name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("documents", nargs="+", type=pathlib.Path)
    parser.add_argument("--list", action="store_true", help="print the example names and stop")
    parser.add_argument("--run", metavar="NAME", help="the example to run")
    parser.add_argument("--source", type=pathlib.Path, help="the checkout")
    parser.add_argument("--build", type=pathlib.Path, help="the build directory being tested")
    parser.add_argument("--zelkc", type=pathlib.Path, help="the directory holding zelkc")
    parser.add_argument("--scratch", type=pathlib.Path, help="a directory to run in (emptied first)")
    parser.add_argument("--models", type=pathlib.Path, help="scripts/onnx-fixtures --examples DIR")
    parser.add_argument("--python-root", type=pathlib.Path, help="the built Python package's parent")
    args = parser.parse_args()

    examples = {}
    for document in args.documents:
        for name, blocks in read_examples(document).items():
            if name in examples:
                raise SystemExit(f"{document}: two sections are named {name}")
            examples[name] = (document, blocks)
    if args.list:
        print(";".join(name for name, (_, blocks) in examples.items()
                       if any(b.marker in ("run", "same-as") for b in blocks)))
        return 0
    if args.run not in examples:
        raise SystemExit(f"no example named {args.run} (see --list)")
    document, blocks = examples[args.run]
    if any(b.language == "python" and b.marker == "run" for b in blocks) and not args.python_root:
        print(f"{args.run}: skipped, the Python package is not built")
        return SKIP
    if not any(args.models.glob("*.onnx")):
        raise SystemExit(f"{args.models}: no models; make them with scripts/onnx-fixtures --examples")

    prepare(args.scratch, args.source.resolve(), args.build.resolve(), args.models)
    environment = dict(os.environ, PATH=f"{args.zelkc.resolve()}{os.pathsep}{os.environ['PATH']}",
                       PYTHONDONTWRITEBYTECODE="1")
    if args.python_root:
        environment["PYTHONPATH"] = str(args.python_root.resolve())
    ok = True
    for block in blocks:
        where = f"{document}:{block.line}"
        ok = run_block(block, where, args.scratch, environment, args.source) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
