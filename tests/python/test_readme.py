"""Runs every example of README.md and compares what it prints with what the README shows.

The README's forms:

* ```python blocks in doctest form (``>>> `` and ``... `` lines, each followed by its expected
  output; ``...`` stands for any text in an output). The blocks of one ``##``/``###`` section
  share one namespace and run in order.
* ```python blocks preceded by ``<!-- file: NAME -->`` are not run: they are written to NAME in
  the working directory, for a later console block to run as a script.
* ```console blocks: each line starting with ``$ `` is a shell command, followed by its expected
  output (standard output and standard error together).
* ``<!-- requires: module[, module...] -->`` before a block: the block, and the rest of its
  section, is skipped when one of the modules does not import.
* ```text and ```sh blocks are not run.

All examples run in document order in one working directory holding a copy of the bundled
samples (``lumotext/samples/*``), so a file a command writes is there for later examples. The
commands find ``lumotext`` and ``python`` of the interpreter running the tests first on PATH.
"""

from __future__ import annotations

import doctest
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
SAMPLES = REPO / "src" / "lumotext" / "samples"
COMMAND_TIMEOUT = 300
OPTIONS = doctest.ELLIPSIS

_FENCE = re.compile(r"^```(\w*)\s*$")
_HEADING = re.compile(r"^(#{2,3}) +(.*?)\s*$")
_DIRECTIVE = re.compile(r"^<!--\s*(requires|file):\s*(.*?)\s*-->\s*$")


@dataclass
class Block:
    language: str
    line: int  # of the first line inside the fence, 1-based
    text: str
    requires: list[str] = field(default_factory=list)
    file: str | None = None


@dataclass
class Section:
    title: str
    line: int
    blocks: list[Block] = field(default_factory=list)


def parse_readme(text: str) -> list[Section]:
    """The sections of ``text`` that hold runnable blocks, in document order."""
    sections: list[Section] = [Section("(top)", 1)]
    lines = text.splitlines()
    pending: dict[str, str] = {}
    number = 0
    while number < len(lines):
        line = lines[number]
        number += 1
        heading = _HEADING.match(line)
        directive = _DIRECTIVE.match(line)
        fence = _FENCE.match(line)
        if heading:
            sections.append(Section(heading.group(2), number))
            pending = {}
        elif directive:
            pending[directive.group(1)] = directive.group(2)
        elif fence:
            start = number
            body = []
            while number < len(lines) and not lines[number].startswith("```"):
                body.append(lines[number])
                number += 1
            if number == len(lines):
                raise ValueError(f"README.md:{start}: code block is not closed")
            number += 1
            language = fence.group(1)
            if language in ("python", "console"):
                requires = [name.strip() for name in pending.get("requires", "").split(",") if name.strip()]
                sections[-1].blocks.append(
                    Block(language, start + 1, "\n".join(body) + "\n", requires, pending.get("file"))
                )
            pending = {}
        elif line.strip():
            pending = {}
    return [section for section in sections if section.blocks]


def console_steps(block: Block) -> list[tuple[int, str, str]]:
    """(line, command, expected output) for each ``$ `` command of a console block."""
    steps: list[tuple[int, str, list[str]]] = []
    for offset, line in enumerate(block.text.splitlines()):
        if line.startswith("$ "):
            steps.append((block.line + offset, line[2:], []))
        elif not steps:
            raise ValueError(f"README.md:{block.line + offset}: console block must start with a '$ ' command")
        else:
            steps[-1][2].append(line)
    return [(line, command, "".join(out + "\n" for out in output)) for line, command, output in steps]


SECTIONS = parse_readme(README.read_text(encoding="utf-8"))


def _missing_module(names: list[str]) -> str | None:
    for name in names:
        try:
            if importlib.util.find_spec(name) is None:
                return name
        except ImportError:
            return name
    return None


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("readme")
    for sample in SAMPLES.iterdir():
        if sample.is_file():
            shutil.copy(sample, path / sample.name)
    return path


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def _run_console(block: Block, cwd: Path) -> None:
    checker = doctest.OutputChecker()
    for line, command, expected in console_steps(block):
        result = subprocess.run(
            ["bash", "-c", "exec 2>&1\n" + command],
            cwd=cwd,
            env=_environment(),
            stdout=subprocess.PIPE,
            timeout=COMMAND_TIMEOUT,
        )
        got = result.stdout.decode("utf-8", errors="replace")
        if not checker.check_output(expected, got, OPTIONS):
            pytest.fail(
                f"README.md:{line}: $ {command}\n--- expected\n{expected}--- got (exit {result.returncode})\n{got}",
                pytrace=False,
            )


def _run_python(block: Block, globs: dict[str, object], cwd: Path, section: Section) -> None:
    test = doctest.DocTestParser().get_doctest(block.text, globs, section.title, str(README), block.line - 1)
    if not test.examples:
        raise ValueError(f"README.md:{block.line}: python block without '>>> ' examples (and no file directive)")
    runner = doctest.DocTestRunner(optionflags=OPTIONS)
    report: list[str] = []
    previous = os.getcwd()
    os.chdir(cwd)
    try:
        runner.run(test, out=report.append, clear_globs=False)
    finally:
        os.chdir(previous)
    globs.update(test.globs)  # DocTest ran on a copy; later blocks of the section see its names
    if runner.failures:
        pytest.fail("".join(report), pytrace=False)


@pytest.mark.parametrize("section", SECTIONS, ids=[f"L{s.line}-{s.title}" for s in SECTIONS])
def test_readme_section(section: Section, workdir: Path) -> None:
    globs: dict[str, object] = {"__name__": "__readme__"}
    for block in section.blocks:
        missing = _missing_module(block.requires)
        if missing is not None:
            pytest.skip(f"README example needs the module {missing!r}, which is not installed")
        if block.file is not None:
            (workdir / block.file).write_text(block.text, encoding="utf-8")
        elif block.language == "console":
            _run_console(block, workdir)
        else:
            _run_python(block, globs, workdir, section)


# The parser itself: a README form it misreads would leave examples silently untested.
PARSER_CASES = [
    (
        "## A\n```python\n>>> 1\n1\n```\n### B\n<!-- requires: numpy, scipy -->\n```console\n$ echo x\nx\n```\n",
        [("A", "python", [], None), ("B", "console", ["numpy", "scipy"], None)],
    ),
    ("## A\n<!-- file: s.py -->\n```python\nprint(1)\n```\n", [("A", "python", [], "s.py")]),
    # A directive applies to the next block only when nothing but blank lines comes between.
    ("## A\n<!-- requires: x -->\nprose\n```console\n$ true\n```\n```sh\nmake\n```\n", [("A", "console", [], None)]),
    ("## A\n```text\n$ not run\n```\n```sh\nnot run\n```\n", []),
]


@pytest.mark.parametrize("text, expected", PARSER_CASES)
def test_parser_finds_the_runnable_blocks(text: str, expected: list[tuple[str, str, list[str], str | None]]) -> None:
    found = [(s.title, b.language, b.requires, b.file) for s in parse_readme(text) for b in s.blocks]
    assert found == expected


def test_console_steps_pair_commands_with_their_output() -> None:
    block = Block("console", 10, "$ a\none\ntwo\n$ b\n$ c\nthree\n")
    assert console_steps(block) == [(10, "a", "one\ntwo\n"), (13, "b", ""), (14, "c", "three\n")]


def test_unclosed_fence_is_an_error() -> None:
    with pytest.raises(ValueError, match="not closed"):
        parse_readme("## A\n```python\n>>> 1\n")
