"""The index subcommands of the ``lumotext`` command line:

* ``lumotext index build FILE... --out DIR``: one document per input line (numbered from 0 across
  the files, empty lines included, so a document's number is its line's), saved to DIR;
* ``lumotext search DIR QUERY...`` or ``--queries FILE``: one JSON line per query,
  ``{"query": ..., "hits": [[number, score], ...]}``, best first.
"""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Iterator

from lumotext.cli import (
    CommandError,
    LineReader,
    Output,
    Progress,
    _finite_float,
    _positive_int,
    _progress_enabled,
    _sources,
)


def command_index_build(args: argparse.Namespace) -> None:
    from lumotext.index import DEFAULTS, Analyzer, Index

    out = os.path.abspath(args.out)
    parent = os.path.dirname(out)
    if not os.path.isdir(parent):
        raise CommandError(f"--out: directory {parent!r} does not exist")
    from lumotext import _native

    try:
        _native.check_save_target(out)  # before the long part: the save refuses the same way
    except FileExistsError:
        raise CommandError(f"--out: {args.out!r} exists and is not a saved index; not replacing it") from None
    stop_words: Any = {"default": "default", "none": None}.get(args.stop_words, args.stop_words)
    try:
        analyzer = Analyzer(
            stop_words=stop_words,
            mode="search" if args.search else DEFAULTS["mode"],
            bigram_weight=DEFAULTS["bigram_weight"] if args.bigram_weight is None else args.bigram_weight,
        )
        index = Index(analyzer, k1=args.k1, b=args.b)
    except ValueError as error:
        raise CommandError(str(error)) from None
    reader = LineReader(_sources(args.files), args.errors)
    progress = Progress(_progress_enabled(args), reader.total_bytes(), "index")

    def texts() -> Iterator[str]:
        for text in reader:
            yield text
            progress.update(reader.sizes.popleft())

    try:
        index.add(texts(), threads=args.threads)
    finally:
        progress.close()
    try:
        index.save(out)
    except FileExistsError:
        raise CommandError(f"--out: {args.out!r} exists and is not a saved index; not replacing it") from None


def _queries(args: argparse.Namespace) -> Iterator[str]:
    yield from args.query
    if args.queries is not None:
        yield from LineReader(_sources([args.queries]), args.errors)


def command_search(args: argparse.Namespace) -> None:
    from lumotext.index import Index

    if not args.query and args.queries is None:
        raise CommandError("give queries as arguments or with --queries FILE")
    try:
        index = Index.load(args.index)
    except ValueError as error:
        raise CommandError(f"cannot load the index {args.index!r}: {error}") from None
    output = Output()
    try:
        batch: list[str] = []
        for query in _queries(args):
            batch.append(query)
            if len(batch) == 1024:
                _write_hits(output, batch, index.search_many(batch, k=args.k, threads=args.threads))
                batch = []
        if batch:
            _write_hits(output, batch, index.search_many(batch, k=args.k, threads=args.threads))
    finally:
        output.flush()


def _write_hits(output: Output, queries: list[str], results: list[list[tuple[int, float]]]) -> None:
    for query, hits in zip(queries, results):
        output.line(json.dumps({"query": query, "hits": [[n, round(s, 6)] for n, s in hits]}, ensure_ascii=False))


def add_commands(commands: Any, inputs: argparse.ArgumentParser) -> None:
    index = commands.add_parser("index", help="build a BM25 search index", description="Build a BM25 search index.")
    index_commands = index.add_subparsers(dest="index_command", metavar="COMMAND", required=True)
    build = index_commands.add_parser(
        "build",
        parents=[inputs],
        help="index the input, one document per line",
        description="Index the input lines as documents numbered from 0 (empty lines included, so a "
        "document's number is its line's, counted across the files) and save the index to a directory.",
    )
    build.add_argument(
        "--out", required=True, metavar="DIR", help="directory to save the index in (replaced if it holds an index)"
    )
    build.add_argument(
        "--threads", type=_positive_int, default=None, metavar="N", help="analyze on N threads (default: the CPU count)"
    )
    build.add_argument("--k1", type=_finite_float, default=1.2, help="term frequency saturation (default 1.2)")
    build.add_argument("--b", type=_finite_float, default=0.75, help="length normalisation, 0 to 1 (default 0.75)")
    build.add_argument(
        "--bigram-weight",
        type=_finite_float,
        default=None,
        metavar="W",
        help="weight of the character-bigram field, 0 for words only (default 0.3)",
    )
    build.add_argument("--search", action="store_true", help="segment with the search cut")
    build.add_argument(
        "--stop-words",
        default="default",
        metavar="default|none|PATH",
        help="stop words: the bundled list (default), none, or a file with one word a line",
    )
    build.set_defaults(run=command_index_build)

    search = commands.add_parser(
        "search",
        help="search a saved index",
        description="Search an index saved by 'lumotext index build'. Writes one JSON line per query: "
        '{"query": ..., "hits": [[document number, score], ...]}, best first.',
    )
    search.add_argument("index", metavar="DIR", help="the saved index")
    search.add_argument("query", nargs="*", metavar="QUERY", help="queries")
    search.add_argument("--queries", metavar="FILE", help="more queries, one a line ('-': standard input)")
    search.add_argument("-k", type=_positive_int, default=10, help="results per query (default 10)")
    search.add_argument(
        "--threads", type=_positive_int, default=None, metavar="N", help="search on N threads (default: the CPU count)"
    )
    search.add_argument(
        "--errors", choices=("strict", "replace"), default="strict", help="invalid UTF-8 in --queries (default strict)"
    )
    search.set_defaults(run=command_search)
