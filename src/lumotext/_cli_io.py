"""What every ``lumotext`` subcommand shares: its input lines, its output lines, the progress
bar on standard error, and the failure it reports with exit status 1."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections import deque
from dataclasses import dataclass
from typing import IO, Any, Iterator, Sequence

PROG = "lumotext"


class CommandError(Exception):
    """A failure to report as ``lumotext: error: MESSAGE`` with exit status 1."""


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


@dataclass
class Source:
    name: str
    path: str | None  # None: standard input


def sources(files: Sequence[str]) -> list[Source]:
    """The inputs in order, each checked to be readable before any work starts."""
    found = []
    for name in files or ["-"]:
        if name == "-":
            found.append(Source("<stdin>", None))
            continue
        try:
            with open(name, "rb"):
                pass
        except OSError as error:
            raise CommandError(f"cannot read {name!r}: {error.strerror or error}") from None
        found.append(Source(name, name))
    return found


class LineReader:
    """Decodes input lines and remembers each line's size in bytes, so that the progress bar
    advances when a line's output is written rather than when it is read ahead."""

    def __init__(self, sources: list[Source], errors: str):
        self.sources = sources
        self.errors = errors
        self.sizes: deque[int] = deque()

    def total_bytes(self) -> int | None:
        if any(source.path is None for source in self.sources):
            return None
        try:
            return sum(os.path.getsize(source.path) for source in self.sources if source.path is not None)
        except OSError:
            return None

    def __iter__(self) -> Iterator[str]:
        for source in self.sources:
            if source.path is None:
                yield from self._lines(source.name, sys.stdin.buffer)
            else:
                try:
                    stream = open(source.path, "rb")
                except OSError as error:
                    raise CommandError(f"cannot read {source.name!r}: {error.strerror or error}") from None
                with stream:
                    yield from self._lines(source.name, stream)

    def _lines(self, name: str, stream: IO[bytes]) -> Iterator[str]:
        number = 0
        while True:
            try:
                raw = stream.readline()
            except OSError as error:
                raise CommandError(f"{name}:{number + 1}: read failed: {error.strerror or error}") from None
            if not raw:
                return
            number += 1
            size = len(raw)
            if raw.endswith(b"\n"):
                raw = raw[:-1]
                if raw.endswith(b"\r"):
                    raw = raw[:-1]
            if number == 1 and raw.startswith(b"\xef\xbb\xbf"):
                raw = raw[3:]
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                where = f"{name}:{number}: invalid UTF-8 at byte {error.start + 1} of the line"
                if self.errors == "strict":
                    raise CommandError(f"{where} (use --errors replace to go on with U+FFFD in its place)") from None
                warn(f"{where}, replaced with U+FFFD")
                text = raw.decode("utf-8", "replace")
            self.sizes.append(size)
            yield text


class Progress:
    """A tqdm bar on standard error, or nothing."""

    def __init__(self, enabled: bool, total: int | None, description: str):
        self.bar: Any = None
        if not enabled:
            return
        try:
            tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            warn("the progress bar needs tqdm (pip install tqdm); going on without it")
            return
        self.bar = tqdm(
            total=total,
            desc=description,
            unit="B",
            unit_scale=True,
            unit_divisor=1024,
            file=sys.stderr,
            dynamic_ncols=True,
            mininterval=0.2,
        )

    def update(self, size: int) -> None:
        if self.bar is not None:
            self.bar.update(size)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def progress_enabled(args: argparse.Namespace) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class Output:
    """Standard output, bound at the first line written: a command that writes nothing there
    (bm25 train) does not care whether it is open."""

    def __init__(self) -> None:
        self.stream: IO[bytes] | None = None

    def line(self, text: str) -> None:
        if self.stream is None:
            # Python sets sys.stdout to None when the process starts with descriptor 1 closed.
            if sys.stdout is None:
                raise CommandError("cannot write to standard output: it is closed")
            self.stream = sys.stdout.buffer
        self.stream.write(text.encode("utf-8"))
        self.stream.write(b"\n")

    def flush(self) -> None:
        if self.stream is not None:
            self.stream.flush()


class UsageError(Exception):
    """A command line that parsed but asks for something out of bounds: reported as argparse
    reports a usage error, with the subcommand's usage and exit status 2."""
