"""Runs every example of README.md and docs/*.md and compares what it prints with what the page shows.

The pages' forms:

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

The examples of each page run in document order in a working directory of their own holding a
copy of the bundled samples (``lumotext/samples/*``), so a file a command writes is there for
later examples of the same page. The commands find ``lumotext`` and ``python`` of the interpreter
running the tests first on PATH.
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
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
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
    page: str = "README.md"


def parse_readme(text: str, page: str = "README.md") -> list[Section]:
    """The sections of ``text`` that hold runnable blocks, in document order."""
    sections: list[Section] = [Section("(top)", 1, page=page)]
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
            sections.append(Section(heading.group(2), number, page=page))
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
                raise ValueError(f"{page}:{start}: code block is not closed")
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


def console_steps(block: Block, page: str = "README.md") -> list[tuple[int, str, str]]:
    """(line, command, expected output) for each ``$ `` command of a console block."""
    steps: list[tuple[int, str, list[str]]] = []
    for offset, line in enumerate(block.text.splitlines()):
        if line.startswith("$ "):
            steps.append((block.line + offset, line[2:], []))
        elif not steps:
            raise ValueError(f"{page}:{block.line + offset}: console block must start with a '$ ' command")
        else:
            steps[-1][2].append(line)
    return [(line, command, "".join(out + "\n" for out in output)) for line, command, output in steps]


SECTIONS = [
    section
    for page in PAGES
    for section in parse_readme(page.read_text(encoding="utf-8"), page.relative_to(REPO).as_posix())
]


def _missing_module(names: list[str]) -> str | None:
    for name in names:
        try:
            if importlib.util.find_spec(name) is None:
                return name
        except ImportError:
            return name
    return None


@pytest.fixture(scope="module")
def workdirs(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    """One working directory per page, made when the page's first section runs."""
    return {}


def _workdir(page: str, workdirs: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> Path:
    if page not in workdirs:
        path = tmp_path_factory.mktemp("page")
        for sample in SAMPLES.iterdir():
            if sample.is_file():
                shutil.copy(sample, path / sample.name)
        workdirs[page] = path
    return workdirs[page]


def _environment() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def _run_console(block: Block, cwd: Path, page: str) -> None:
    checker = doctest.OutputChecker()
    for line, command, expected in console_steps(block, page):
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
                f"{page}:{line}: $ {command}\n--- expected\n{expected}--- got (exit {result.returncode})\n{got}",
                pytrace=False,
            )


def _run_python(block: Block, globs: dict[str, object], cwd: Path, section: Section) -> None:
    test = doctest.DocTestParser().get_doctest(block.text, globs, section.title, section.page, block.line - 1)
    if not test.examples:
        raise ValueError(f"{section.page}:{block.line}: python block without '>>> ' examples (and no file directive)")
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


@pytest.mark.parametrize("section", SECTIONS, ids=[f"{s.page}:L{s.line}-{s.title}" for s in SECTIONS])
def test_page_section(section: Section, workdirs: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> None:
    workdir = _workdir(section.page, workdirs, tmp_path_factory)
    globs: dict[str, object] = {"__name__": "__readme__"}
    for block in section.blocks:
        missing = _missing_module(block.requires)
        if missing is not None:
            pytest.skip(f"{section.page} example needs the module {missing!r}, which is not installed")
        if block.file is not None:
            (workdir / block.file).write_text(block.text, encoding="utf-8")
        elif block.language == "console":
            _run_console(block, workdir, section.page)
        else:
            _run_python(block, globs, workdir, section)


_LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
README_MAX_LINES = 300


def anchor(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading: lower case, punctuation dropped, spaces to hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def links(text: str) -> list[tuple[int, str]]:
    """(line, target) of every link outside code blocks."""
    found = []
    in_code = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code:
            found.extend((number, target) for target in _LINK.findall(line))
    return found


def anchors(text: str) -> set[str]:
    return {anchor(line.lstrip("#")) for line in text.splitlines() if re.match(r"^#{1,6} ", line)}


@pytest.mark.parametrize("page", PAGES, ids=[page.relative_to(REPO).as_posix() for page in PAGES])
def test_links_between_pages_resolve(page: Path) -> None:
    broken = []
    for line, target in links(page.read_text(encoding="utf-8")):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, fragment = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        if not linked.exists():
            broken.append(f"{page.name}:{line}: {target}: no such file")
        elif fragment and linked.suffix == ".md" and fragment not in anchors(linked.read_text(encoding="utf-8")):
            broken.append(f"{page.name}:{line}: {target}: no such heading")
    assert not broken, "\n".join(broken)


def test_readme_is_short_and_links_every_docs_page() -> None:
    text = PAGES[0].read_text(encoding="utf-8")
    assert len(text.splitlines()) <= README_MAX_LINES
    linked = {(REPO / target.partition("#")[0]).resolve() for _, target in links(text)}
    assert set(PAGES[1:]) <= linked, sorted(page.name for page in set(PAGES[1:]) - linked)


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


@pytest.mark.parametrize(
    "heading, expected",
    [
        ("The segmenter: `Jieba`", "the-segmenter-jieba"),
        ("How the files are made (`make data`)", "how-the-files-are-made-make-data"),
        ("`make bench`, 2026-12-09", "make-bench-2026-12-09"),
        ("Dask: building an index on a cluster", "dask-building-an-index-on-a-cluster"),
    ],
)
def test_anchor_is_the_rendered_one(heading: str, expected: str) -> None:
    assert anchor(heading) == expected


def test_links_skip_code_blocks() -> None:
    text = "see [a](a.md#x)\n```python\n>>> [1](2)\n```\n[b](https://example.invalid) [c](#y)\n"
    assert links(text) == [(1, "a.md#x"), (5, "https://example.invalid"), (5, "#y")]


def test_unclosed_fence_is_an_error() -> None:
    with pytest.raises(ValueError, match="not closed"):
        parse_readme("## A\n```python\n>>> 1\n")
