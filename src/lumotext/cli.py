"""The ``lumotext`` command: segment Chinese text, train BM25 models, encode documents and queries.

Every command reads UTF-8 text from the files named on the command line (``-`` or no file at
all: standard input), one document per line, and writes one line of output per input line
to standard output. Diagnostics and the progress bar go to standard error.

Exit status: 0 on success, 1 when the work fails (unreadable input, invalid UTF-8, a model that
does not load, out of memory, standard output closed, ...), 2 for a usage error, and 141 (as a
process killed by SIGPIPE, like other Unix tools) when the reader of standard output goes away
early (``lumotext cut big.txt | head -1``): the output wanted was written, nothing is reported.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import sys
from typing import TYPE_CHECKING, Callable, Collection, Iterable, Iterator, Sequence

from lumotext import __version__
from lumotext._cli_args import add_threads_option, b_parameter, k1_parameter
from lumotext._cli_io import (
    PROG,
    CommandError,
    LineReader,
    Output,
    Progress,
    UsageError,
    progress_enabled,
    sources,
    warn,
)
from lumotext._data import DATA_FILES
from lumotext.cli_index import add_commands as add_index_commands
from lumotext.models import BM25_DEFAULTS
from lumotext.pipeline import index_tokens, segment_many

if TYPE_CHECKING:
    from pylumotext import BM25, Jieba

#: Exit status when standard output's reader has gone away: what a shell reports for a process
#: that SIGPIPE ended (128 + 13), so pipelines treat it as they treat other Unix tools.
EXIT_CLOSED_PIPE = 141

EPILOG = """\
examples:
  lumotext cut news.txt > words.txt
  lumotext cut --format jsonl --threads 4 < news.txt
  lumotext bm25 train --out model.json corpus.txt
  lumotext bm25 encode --model model.json corpus.txt > vectors.jsonl
  echo '长江大桥' | lumotext bm25 encode --model model.json --query
  lumotext index build corpus.txt --out corpus.index
  lumotext search corpus.index '长江大桥' -k 5

In Python, lumotext.load_model("model.json") reads a model file (BM25.load takes the text).
"""


# ---------------------------------------------------------------------------------------------
# Segmenter


#: The option and help text of each data file of the segmenter (the keys of DATA_FILES).
PATH_OPTIONS = {
    "dict_path": ("--dict", "main dictionary (lines: WORD FREQUENCY TAG)"),
    "hmm_path": ("--hmm", "HMM model for words outside the dictionary"),
    "user_dict_path": ("--user-dict", "user dictionary; repeat for several, '' for none"),
    "idf_path": ("--idf", "IDF list (loaded with the segmenter)"),
    "stop_word_path": ("--stop-words", "stop words, one a line, to drop (default: none dropped)"),
}


def _load_jieba(args: argparse.Namespace) -> Jieba:
    from lumotext.segmenter import shared_jieba

    overrides: dict[str, str | None] = {name: getattr(args, name) for name in PATH_OPTIONS}
    if overrides["user_dict_path"] is not None:
        overrides["user_dict_path"] = "|".join(args.user_dict_path)
    for name, (option, _) in PATH_OPTIONS.items():
        value = overrides[name]
        if value is None:
            continue
        paths = (
            [piece for piece in value.replace(";", "|").split("|") if piece] if name == "user_dict_path" else [value]
        )
        for path in paths:
            try:
                with open(path, "rb"):
                    pass
            except OSError as error:
                raise CommandError(f"{option}: cannot read {path!r}: {error.strerror or error}") from None
    try:
        return shared_jieba(overrides)
    except ImportError as error:
        raise CommandError(
            f"no bundled segmenter data ({error}); give all of --dict, --hmm, --idf, --stop-words"
        ) from None
    except Exception as error:
        raise CommandError(f"cannot load the segmenter data: {error}") from None


def _stop_words(args: argparse.Namespace, fold: Callable[[str], str] | None) -> Collection[str]:
    """The words --stop-words names (read as the index's analyzer reads a stop-word file),
    folded like the text when it is folded; none without the option."""
    if args.stop_word_path is None:
        return frozenset()
    from lumotext.index import _read_word_list

    try:
        words = _read_word_list(args.stop_word_path)
    except OSError as error:
        raise CommandError(f"--stop-words: cannot read {args.stop_word_path!r}: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise CommandError(f"--stop-words: {args.stop_word_path}: invalid UTF-8 at byte {error.start + 1}") from None
    return frozenset(map(fold, words) if fold is not None else words)


def _without(words: list[str], stop_words: Collection[str]) -> list[str]:
    return [word for word in words if word not in stop_words] if stop_words else words


def _token_lists(args: argparse.Namespace, lines: Iterable[str]) -> Iterator[list[str]]:
    """The tokens of each line: whitespace-separated with --tokenized, else the segmenter's
    words without the separators it returns as words; stop words dropped either way."""
    stop_words = _stop_words(args, None)
    if getattr(args, "tokenized", False):
        return (_without(line.split(), stop_words) for line in lines)
    jieba = _load_jieba(args)
    return (
        _without(index_tokens(words), stop_words) for words in segment_many(jieba, lines, args.threads, args.search)
    )


# ---------------------------------------------------------------------------------------------
# Output


def _json_line(value: object, where: Callable[[], str]) -> str:
    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=False)
    except ValueError:
        raise CommandError(f"{where()}: the vector has a weight that is not a finite number") from None


# ---------------------------------------------------------------------------------------------
# Commands


def _run_lines(
    args: argparse.Namespace, description: str, body: Callable[[LineReader, Progress, Output], None]
) -> None:
    reader = LineReader(sources(args.files), args.errors)
    progress = Progress(progress_enabled(args), reader.total_bytes(), description)
    output = Output()
    try:
        body(reader, progress, output)
    finally:
        progress.close()
        output.flush()


def command_cut(args: argparse.Namespace) -> None:
    fold: Callable[[str], str] | None = None
    if args.fold:
        from lumotext.index import fold_text

        fold = fold_text
    stop_words = _stop_words(args, fold)

    def body(reader: LineReader, progress: Progress, output: Output) -> None:
        jieba = _load_jieba(args)
        lines: Iterable[str] = reader if fold is None else map(fold, reader)
        for words in segment_many(jieba, lines, args.threads, args.search):
            if args.format == "jsonl":
                output.line(json.dumps(_without(words, stop_words), ensure_ascii=False))
            else:
                output.line(" ".join(_without(index_tokens(words), stop_words)))
            progress.update(reader.sizes.popleft())

    _run_lines(args, "cut", body)


def _check_writable(path: str) -> None:
    if os.path.isdir(path):
        raise CommandError(f"--out: {path!r} is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CommandError(f"--out: directory {directory!r} does not exist")
    if not os.access(directory, os.W_OK):
        raise CommandError(f"--out: cannot write to directory {directory!r}")


def _write_model(model: BM25, path: str) -> None:
    # dump writes a temporary file and renames it into place, and raises on any failure.
    try:
        model.dump(path)
    except RuntimeError as error:
        raise CommandError(f"cannot write the model to {path!r}: {error}") from None


def command_train(args: argparse.Namespace) -> None:
    from pylumotext import BM25

    _check_writable(args.out)
    counts = {"documents": 0, "empty": 0}
    model = BM25(args.b, args.k1)

    def body(reader: LineReader, progress: Progress, output: Output) -> None:
        for tokens in _token_lists(args, reader):
            if tokens:
                model.train(tokens)
                counts["documents"] += 1
            else:
                counts["empty"] += 1
            progress.update(reader.sizes.popleft())

    _run_lines(args, "train", body)
    if counts["documents"] == 0:
        found = f"all {counts['empty']} input lines are empty" if counts["empty"] else "the input is empty"
        raise CommandError(f"no documents to train on: {found}; no model written")
    _write_model(model, args.out)
    if progress_enabled(args):
        print(
            f"{PROG}: trained on {counts['documents']} documents ({counts['empty']} empty lines skipped); "
            f"model written to {args.out}",
            file=sys.stderr,
        )


def _read_model(path: str) -> BM25:
    from pylumotext import BM25

    from lumotext.models import parse_model

    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as error:
        raise CommandError(f"--model: cannot read {path!r}: {error.strerror or error}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandError(f"--model: {path}: not a BM25 model: invalid UTF-8 at byte {error.start + 1}") from None
    del raw
    # The statistics first, with the very reader BM25.load uses: a text it refuses is explained
    # in the words of the model format, and one it takes is checked to encode at all before any
    # input is read (the encoder refuses every non-empty line otherwise).
    try:
        statistics = parse_model(text, "not a BM25 model")
    except ValueError as reason:
        raise CommandError(f"--model: {path}: {reason}") from None
    if not statistics.can_encode:
        if statistics.doc_count == 0:
            raise CommandError(f"--model: {path}: the model was trained on no documents")
        raise CommandError(f"--model: {path}: the model cannot encode: its average document length is 0")
    del statistics
    model = BM25()
    try:
        model.load(text)
    except (RuntimeError, ValueError, IndexError) as error:
        raise CommandError(f"--model: {path}: the model does not load: {error}") from None
    return model


def command_encode(args: argparse.Namespace) -> None:
    model = _read_model(args.model)
    encode = model.encode_query if args.query else model.encode_document
    shape: Callable[[dict[str, float]], object] = lambda vector: vector  # noqa: E731
    if args.format == "sparse":
        from lumotext.sparse import to_sparse_vector

        shape = to_sparse_vector
    warned = False

    def body(reader: LineReader, progress: Progress, output: Output) -> None:
        nonlocal warned
        for number, tokens in enumerate(_token_lists(args, reader), 1):
            vector = encode(tokens)
            if args.format == "sparse" and not warned and any(weight < 0 for weight in vector.values()):
                # Engines that take this shape (Milvus, Elasticsearch) refuse negative weights.
                warn(
                    f"output line {number}: the vector has negative weights, which Milvus and Elasticsearch "
                    "refuse; lumotext.Index gives vectors with non-negative weights for them"
                )
                warned = True
            output.line(_json_line(shape(vector), lambda: f"output line {number}"))  # noqa: B023 (called at once)
            progress.update(reader.sizes.popleft())

    _run_lines(args, "encode", body)


# ---------------------------------------------------------------------------------------------
# Arguments


def _input_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument(
        "files", nargs="*", metavar="FILE", help="UTF-8 input, one document per line ('-' or none: standard input)"
    )
    parent.add_argument(
        "--errors",
        choices=("strict", "replace"),
        default="strict",
        help="invalid UTF-8 in the input: stop with an error naming file and line (strict, the default), "
        "or replace the bad bytes with U+FFFD and go on (replace)",
    )
    parent.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: only when standard error is a terminal)",
    )
    return parent


def _segmenter_options(tokenized: bool) -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("segmentation" + (" (unless --tokenized)" if tokenized else ""))
    group.add_argument(
        "--search", action="store_true", help="search mode: long words are preceded by the shorter words inside them"
    )
    add_threads_option(group, "segment", "; the output keeps the input order")
    for name, file_name in DATA_FILES.items():
        option, help_text = PATH_OPTIONS[name]
        if name == "user_dict_path":
            group.add_argument(
                option,
                dest=name,
                action="append",
                metavar="PATH",
                help=f"{help_text} (default: the bundled {file_name})",
            )
        elif name == "stop_word_path":
            also = "; dropped from --tokenized input too" if tokenized else ""
            group.add_argument(option, dest=name, metavar="PATH", help=help_text + also)
        else:
            group.add_argument(
                option, dest=name, metavar="PATH", help=f"{help_text} (default: the bundled {file_name})"
            )
    if tokenized:
        group.add_argument(
            "--tokenized", action="store_true", help="the input is already tokenized: tokens are split at whitespace"
        )
    return parent


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Chinese word segmentation and BM25 sparse vectors for retrieval.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    inputs = _input_options()

    cut = commands.add_parser(
        "cut",
        parents=[inputs, _segmenter_options(tokenized=False)],
        help="segment text into words",
        description="Segment each input line into words. The words are written separated by one space "
        "(--format text; the spaces and tabs of the input, which the segmenter returns as words, are left out) "
        "or as a JSON list per line (--format jsonl, which keeps every word but stop words, spaces included).",
    )
    cut.add_argument("--format", choices=("text", "jsonl"), default="text", help="output format (default %(default)s)")
    cut.add_argument(
        "--fold",
        action="store_true",
        help="fold each line as the index's analyzer does before segmenting it: full-width forms to ASCII, "
        "ASCII upper case to lower case, Traditional characters to Simplified (stop words are folded alike)",
    )
    cut.set_defaults(run=command_cut)

    bm25 = commands.add_parser(
        "bm25", help="train BM25 models and encode with them", description="BM25 models and vectors."
    )
    bm25_commands = bm25.add_subparsers(dest="bm25_command", metavar="COMMAND", required=True)

    train = bm25_commands.add_parser(
        "train",
        parents=[inputs, _segmenter_options(tokenized=True)],
        help="train a model: one document per input line",
        description="Train a BM25 model on the input, one document per line, and write it as JSON. "
        "Lines with no tokens are skipped.",
    )
    train.add_argument("--out", required=True, metavar="MODEL.json", help="where to write the model")
    train.add_argument(
        "--b", type=b_parameter, default=BM25_DEFAULTS["b"], help="length normalisation, 0 to 1 (default %(default)s)"
    )
    train.add_argument(
        "--k1",
        type=k1_parameter,
        default=BM25_DEFAULTS["k1"],
        help="term frequency saturation, at least 0 (default %(default)s)",
    )
    train.set_defaults(run=command_train)

    encode = bm25_commands.add_parser(
        "encode",
        parents=[inputs, _segmenter_options(tokenized=True)],
        help="encode documents or queries as sparse vectors",
        description="Encode each input line with a trained model and write one JSON object per line, "
        "token to weight (an empty line gives {}). Documents get saturated term frequencies, "
        "queries (--query) inverse document frequencies summing to 1; a score is their dot product.",
    )
    encode.add_argument("--model", required=True, metavar="MODEL.json", help="a model written by 'lumotext bm25 train'")
    encode.add_argument("--query", action="store_true", help="encode the lines as queries")
    encode.add_argument(
        "--format",
        choices=("tokens", "sparse"),
        default="tokens",
        help="'tokens': {token: weight} (default); 'sparse': the {\"indices\": [...], \"values\": [...]} shape of "
        "vector databases, indices from lumotext.sparse.token_hash",
    )
    encode.set_defaults(run=command_encode)

    add_index_commands(commands, inputs)
    return parser


def _stop_writing_to_stdout() -> None:
    """Points descriptor 1 at the null device, so that the interpreter's final flush of
    standard output neither fails nor prints a second error."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except UsageError as error:
        # Reported by the subcommand's own parser when it named itself, as argparse would.
        getattr(args, "parser", parser).error(str(error))  # exits with status 2
    except CommandError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`lumotext cut big.txt | head`): stop quietly, as a process
        # that SIGPIPE ends would.
        _stop_writing_to_stdout()
        return EXIT_CLOSED_PIPE
    except MemoryError:
        print(f"{PROG}: error: out of memory", file=sys.stderr)
        return 1
    except (OSError, ValueError) as error:
        if _stdout_is_closed(error):
            _stop_writing_to_stdout()
            print(f"{PROG}: error: cannot write to standard output: {_reason(error)}", file=sys.stderr)
            return 1
        if isinstance(error, ValueError):
            raise
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


def _stdout_is_closed(error: BaseException) -> bool:
    """Whether ``error`` came from writing to a standard output that is closed: descriptor 1
    not open (EBADF), or the stream object closed under us (ValueError)."""
    if isinstance(error, OSError):
        return error.errno == errno.EBADF and not _fd_is_open(1)
    return "closed file" in str(error) and (sys.stdout is None or sys.stdout.closed)


def _fd_is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def _reason(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


if __name__ == "__main__":
    sys.exit(main())
