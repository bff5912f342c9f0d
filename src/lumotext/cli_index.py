"""The index subcommands of the ``lumotext`` command line:

* ``lumotext index build FILE... --out DIR``: one document per input line (numbered from 0 across
  the files, empty lines included, so a document's number is its line's), saved to DIR;
* ``lumotext index add DIR FILE...``: the input lines as the next documents of the saved index,
  saved back in place (one atomic commit);
* ``lumotext index remove DIR NUMBER...`` (or ``--ids ID...``): the documents removed, saved
  back in place;
* ``lumotext index info DIR``: documents, segments, size on disk, k1, b and analyzer settings;
* ``lumotext search DIR QUERY...``: per query a line ``query: ...`` and one line per hit,
  ``score  #number  text``, best first; with ``--queries FILE`` (or ``--json``) one JSON line
  per query, ``{"query": ..., "hits": [[number, score], ...], "texts": [...]}`` (texts when
  the index stores its documents).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from pathlib import Path
from typing import Any, Iterator

from lumotext._cli_args import (
    add_threads_option,
    b_parameter,
    bigram_weight,
    document_number,
    index_k1_parameter,
    result_count,
)
from lumotext._cli_io import PROG, CommandError, LineReader, Output, Progress, UsageError, progress_enabled, sources
from lumotext.index import DEFAULTS, Index


def command_index_build(args: argparse.Namespace) -> None:
    from lumotext.index import Analyzer

    started = time.monotonic()
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
    user_dict = None
    if args.user_dict:
        from lumotext.segmenter import user_dict_lines

        try:
            user_dict = user_dict_lines([Path(path) for path in args.user_dict])
        except (OSError, ValueError) as error:
            raise CommandError(f"--user-dict: {error}") from None
    try:
        analyzer = Analyzer(
            stop_words=stop_words,
            mode="search" if args.search else DEFAULTS["mode"],
            bigram_weight=args.bigram_weight,
            user_dict=user_dict,
        )
    except OSError as error:
        raise CommandError(f"--stop-words: cannot read {args.stop_words!r}: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise CommandError(f"--stop-words: {args.stop_words}: invalid UTF-8 at byte {error.start + 1}") from None
    except ValueError as error:
        # A setting the option types let through but the analyzer refuses is still a usage error.
        raise UsageError(str(error)) from None
    try:
        index = Index(analyzer, k1=args.k1, b=args.b, store=not args.no_store)
    except ValueError as error:
        raise UsageError(str(error)) from None
    added = _add_lines(index, LineReader(sources(args.files), args.errors), args)
    index.compact()  # a built index is mostly searched: one segment is faster and smaller
    try:
        index.save(out)
    except FileExistsError:
        raise CommandError(f"--out: {args.out!r} exists and is not a saved index; not replacing it") from None
    print(
        f"{PROG}: indexed {len(added)} documents ({index.term_count} terms) into {args.out} "
        f"in {time.monotonic() - started:.1f} s",
        file=sys.stderr,
    )


def _add_lines(index: Index, reader: LineReader, args: argparse.Namespace) -> range:
    """Adds the input lines as documents, showing progress by bytes read."""
    progress = Progress(progress_enabled(args), reader.total_bytes(), "index")

    def texts() -> Iterator[str]:
        for text in reader:
            yield text
            progress.update(reader.sizes.popleft())

    try:
        return index.add(texts(), threads=args.threads)
    finally:
        progress.close()


@contextlib.contextmanager
def _changing(path: str) -> Iterator[None]:
    """Holds an exclusive lock on the index's directory from load to save, so that two commands
    changing one index take turns instead of each saving over the other's change. The lock is
    on the directory itself (the save's own lock file is a different file, taken inside it)."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        yield  # the load that follows reports the path's fault in its own words
        return
    try:
        try:
            import fcntl
        except ImportError:  # no flock where there is no fcntl
            yield
            return
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _load(path: str) -> Index:
    try:
        return Index.load(path)
    except ValueError as error:
        raise CommandError(f"cannot load the index {path!r}: {error}") from None


def _save_in_place(index: Index, path: str) -> None:
    try:
        index.save(path)
    except FileExistsError:  # replaced by something else since it was loaded
        raise CommandError(f"{path!r} no longer holds a saved index; not replacing it") from None


def _documents(count: int) -> str:
    return f"{count} document" if count == 1 else f"{count} documents"


def command_index_add(args: argparse.Namespace) -> None:
    reader = LineReader(sources(args.files), args.errors)
    with _changing(args.index):
        _add(args, reader)


def _add(args: argparse.Namespace, reader: LineReader) -> None:
    started = time.monotonic()
    index = _load(args.index)
    # Everything is read and indexed before the one save, so a failure or Ctrl-C on the way
    # leaves the saved index as it was.
    added = _add_lines(index, reader, args)
    _save_in_place(index, args.index)
    numbers = {0: "none", 1: f"number {added.start}"}.get(len(added), f"numbers {added.start}-{added.stop - 1}")
    print(
        f"{PROG}: added {_documents(len(added))} ({numbers}) to {args.index}, now {_documents(len(index))}, "
        f"in {time.monotonic() - started:.1f} s",
        file=sys.stderr,
    )


def command_index_remove(args: argparse.Namespace) -> None:
    if not args.numbers and not args.ids:
        raise UsageError("give document numbers, or ids with --ids")
    numbers = list(dict.fromkeys(args.numbers))  # a number given twice is removed once
    ids = list(dict.fromkeys(args.ids or []))
    for id_ in ids:
        try:
            id_.encode("utf-8")
        except UnicodeEncodeError:  # bytes the file system's encoding could not decode
            raise CommandError(f"--ids: {id_!r} is not valid UTF-8") from None
    with _changing(args.index):
        index = _load(args.index)
        found = index._native.find_ids(ids) if ids else []
        for id_, number in zip(ids, found):
            if number < 0:
                raise CommandError(f"no document of the index {args.index!r} has the id {id_!r}; nothing removed")
        numbers = list(dict.fromkeys([*numbers, *found]))
        try:
            index.remove(numbers)
        except KeyError as error:
            raise CommandError(
                f"document {error.args[0]} is not in the index {args.index!r} (never added or already "
                "removed); nothing removed"
            ) from None
        _save_in_place(index, args.index)
    print(
        f"{PROG}: removed {_documents(len(numbers))} from {args.index}, now {_documents(len(index))}", file=sys.stderr
    )


def command_index_compact(args: argparse.Namespace) -> None:
    started = time.monotonic()
    with _changing(args.index):
        index = _load(args.index)
        before = int(index._native.engine_stats()["segments"])
        index.compact()
        _save_in_place(index, args.index)
    print(
        f"{PROG}: compacted {args.index} from {before} segment{'' if before == 1 else 's'} to "
        f"{int(index._native.engine_stats()['segments'])}, {_documents(len(index))}, "
        f"in {time.monotonic() - started:.1f} s",
        file=sys.stderr,
    )


def _size_on_disk(path: str) -> int:
    """Bytes of the regular files in the index's directory: the commit's files and any a save
    still keeps for readers of the commit before it."""
    total = 0
    with os.scandir(path) as entries:
        for entry in entries:
            if entry.is_file(follow_symlinks=False):
                total += entry.stat(follow_symlinks=False).st_size
    return total


def index_info(index: Index, path: str) -> dict[str, Any]:
    """What ``lumotext index info`` shows, as a JSON-ready dictionary."""
    stats = index._native.engine_stats()
    document_count = int(index._native.document_count)
    return {
        "documents": len(index),
        "removed": document_count - len(index),
        "next_number": document_count,
        "terms": index.term_count,
        "segments": int(stats["segments"]),
        "bytes_on_disk": _size_on_disk(path),
        "k1": index.k1,
        "b": index.b,
        "analyzer": index.analyzer.settings,
    }


def _shown_setting(value: Any) -> str:
    if isinstance(value, list):
        return f"<{len(value)} lines>"
    return json.dumps(value)


def command_index_info(args: argparse.Namespace) -> None:
    info = index_info(_load(args.index), args.index)
    output = Output()
    try:
        if args.json:
            output.line(json.dumps(info, ensure_ascii=False))
            return
        output.line(f"documents: {info['documents']} ({info['removed']} removed, next number {info['next_number']})")
        output.line(f"terms: {info['terms']}")
        output.line(f"segments: {info['segments']}")
        output.line(f"size on disk: {info['bytes_on_disk']} bytes")
        output.line(f"k1: {info['k1']:g}")
        output.line(f"b: {info['b']:g}")
        settings = " ".join(f"{key}={_shown_setting(value)}" for key, value in info["analyzer"].items())
        output.line(f"analyzer: {settings}")
    finally:
        output.flush()


def _queries(args: argparse.Namespace) -> Iterator[str]:
    yield from args.query
    if args.queries is not None:
        yield from LineReader(sources([args.queries]), args.errors)


def command_search(args: argparse.Namespace) -> None:
    if not args.query and args.queries is None:
        raise CommandError("give queries as arguments or with --queries FILE")
    index = _load(args.index)
    output = Output()
    as_json = args.json or args.queries is not None
    try:
        batch: list[str] = []
        for query in _queries(args):
            batch.append(query)
            if len(batch) == 1024:
                _write_hits(output, index, batch, args, as_json)
                batch = []
        if batch:
            _write_hits(output, index, batch, args, as_json)
    finally:
        output.flush()


def _write_hits(output: Output, index: Any, queries: list[str], args: argparse.Namespace, as_json: bool) -> None:
    results = index.search_many(queries, k=args.k, threads=args.threads)
    texts: list[list[str | None]] = [[None] * len(hits) for hits in results]
    if index.stores_documents:
        for position, hits in enumerate(results):
            # Nothing else changes this process's index between the search and these reads.
            texts[position] = [index.document(number).text for number, _ in hits]
    for query, hits, hit_texts in zip(queries, results, texts):
        if as_json:
            row: dict[str, Any] = {"query": query, "hits": [[n, round(s, 6)] for n, s in hits]}
            if index.stores_documents:
                row["texts"] = hit_texts
            output.line(json.dumps(row, ensure_ascii=False))
            continue
        output.line(f"query: {query}")
        for (number, score), text in zip(hits, hit_texts):
            shown = f"  {score:.4f}  #{number}"
            output.line(shown if text is None else f"{shown}  {' '.join(text.splitlines())}")
        if not hits:
            output.line("  (no document matches)")


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
    add_threads_option(build, "analyze")
    build.add_argument(
        "--k1",
        type=index_k1_parameter,
        default=DEFAULTS["k1"],
        help="term frequency saturation, at least 0 (default %(default)s)",
    )
    build.add_argument(
        "--b", type=b_parameter, default=DEFAULTS["b"], help="length normalisation, 0 to 1 (default %(default)s)"
    )
    build.add_argument(
        "--bigram-weight",
        type=bigram_weight,
        default=DEFAULTS["bigram_weight"],
        metavar="W",
        help="weight of the character-bigram field, 0 for words only (default %(default)s)",
    )
    build.add_argument("--search", action="store_true", help="segment with the search cut")
    build.add_argument(
        "--no-store", action="store_true", help="keep document numbers only, not the lines' texts (a smaller index)"
    )
    build.add_argument(
        "--user-dict",
        action="append",
        metavar="FILE",
        help="a user dictionary (word [frequency] [tag] a line) for the segmenter; repeatable. "
        "The index keeps its words, so it analyzes the same without the file",
    )
    build.add_argument(
        "--stop-words",
        default=DEFAULTS["stop_words"],
        metavar="default|none|PATH",
        help="stop words: 'default' for the bundled list, 'none', or a file with one word a line "
        "(default: %(default)s)",
    )
    build.set_defaults(run=command_index_build, parser=build)

    saved = argparse.ArgumentParser(add_help=False)
    saved.add_argument("index", metavar="DIR", help="a saved index, changed in place")
    add = index_commands.add_parser(
        "add",
        parents=[saved, inputs],
        help="add the input lines to a saved index",
        description="Index the input lines as the next documents of a saved index (numbered on from its "
        "highest number, empty lines included) and save it in place, in one atomic step: a failure "
        "leaves it as it was. The index's own k1, b and analyzer settings apply.",
    )
    add_threads_option(add, "analyze")
    add.set_defaults(run=command_index_add, parser=add)

    remove = index_commands.add_parser(
        "remove",
        parents=[saved],
        help="remove documents from a saved index",
        description="Remove documents by number, or by the ids they were added with, from a saved index and "
        "save it in place, in one atomic step. A number or id that is not a live document of the index "
        "removes nothing (exit status 1).",
    )
    remove.add_argument("numbers", nargs="*", type=document_number, metavar="NUMBER", help="document numbers")
    remove.add_argument("--ids", nargs="+", metavar="ID", help="ids given to the documents when they were added")
    remove.set_defaults(run=command_index_remove, parser=remove)

    compact = index_commands.add_parser(
        "compact",
        parents=[saved],
        help="rewrite a saved index as one segment",
        description="Rewrite a saved index as one segment without its removed documents (numbers stay) and save "
        "it in place, in one atomic step: searches get faster and the index smaller after many 'index add' or "
        "'index remove' runs.",
    )
    compact.set_defaults(run=command_index_compact, parser=compact)

    info = index_commands.add_parser(
        "info",
        help="describe a saved index",
        description="Show a saved index's documents, terms, segments, size on disk, k1, b and analyzer settings.",
    )
    info.add_argument("index", metavar="DIR", help="the saved index")
    info.add_argument("--json", action="store_true", help="one JSON object, the analyzer settings in full")
    info.set_defaults(run=command_index_info, parser=info)

    search = commands.add_parser(
        "search",
        help="search a saved index",
        description="Search an index saved by 'lumotext index build'. For each query, a line 'query: ...' "
        "and one line per hit, 'score  #number  text', best first. With --queries or --json: one JSON line per "
        'query, {"query": ..., "hits": [[document number, score], ...], "texts": [...]} ("texts" when the index '
        "stores its documents).",
    )
    search.add_argument("index", metavar="DIR", help="the saved index")
    search.add_argument("query", nargs="*", metavar="QUERY", help="queries")
    search.add_argument(
        "--queries", metavar="FILE", help="more queries, one a line ('-': standard input); output as with --json"
    )
    search.add_argument("--json", action="store_true", help="one JSON line per query, with the hits' texts")
    search.add_argument(
        "-k", type=result_count, default=DEFAULTS["k"], metavar="K", help="results per query (default %(default)s)"
    )
    add_threads_option(search, "search")
    search.add_argument(
        "--errors", choices=("strict", "replace"), default="strict", help="invalid UTF-8 in --queries (default strict)"
    )
    search.set_defaults(run=command_search)
