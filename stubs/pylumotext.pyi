"""BM25 sparse vectors and Chinese word segmentation (native extension)."""

from typing import Sequence, overload

class BM25:
    """BM25 statistics of a corpus; encodes documents and queries as sparse vectors.

    Tokens are strings or signed 64-bit integers; an integer token shares the statistics of its
    decimal text. Result dicts are ordered by key.
    """

    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None: ...
    @overload
    def b(self) -> float: ...
    @overload
    def b(self, arg0: float, /) -> None: ...
    @overload
    def k1(self) -> float: ...
    @overload
    def k1(self, arg0: float, /) -> None: ...
    @overload
    def train(self, arg0: Sequence[str | bytes], /) -> None:
        """Adds one document; raises RuntimeError for an empty one."""
    @overload
    def train(self, arg0: Sequence[int], /) -> None: ...
    def load(self, arg0: str | bytes, /) -> None:
        """Replaces the statistics with those of a model document (its JSON text, not a path)."""
    def dump(self, arg0: str | bytes, /) -> None:
        """Writes the model document to the file at this path."""
    @overload
    def encode_document(self, arg0: Sequence[str | bytes], /) -> dict[str, float]: ...
    @overload
    def encode_document(self, arg0: Sequence[int], /) -> dict[int, float]: ...
    @overload
    def encode_query(self, arg0: Sequence[str | bytes], /) -> dict[str, float]: ...
    @overload
    def encode_query(self, arg0: Sequence[int], /) -> dict[int, float]: ...

class Jieba:
    """Chinese word segmenter over a main dictionary, an HMM model, a user dictionary
    ('' for none; several joined by '|' or ';'), an IDF list and a stop-word list."""

    def __init__(
        self,
        dict_path: str | bytes,
        hmm_path: str | bytes,
        user_dict_path: str | bytes,
        idf_path: str | bytes,
        stop_word_path: str | bytes,
    ) -> None: ...
    def cut(self, sentence: str | bytes) -> list[str]:
        """The words of the sentence, separators included; they concatenate back to it."""
    def cut_for_search(self, sentence: str | bytes) -> list[str]:
        """The words of cut, each long one preceded by the dictionary words inside it."""
