"""Token lists that Python code changes while they are being converted.

An element's ``__index__`` and a sequence's ``__getitem__`` run Python code in the middle of the
conversion. Whatever that code does to the list or to tokens already read, the call works on the
tokens as they were when read, and never on freed memory (the ASan run checks the latter).
"""

from __future__ import annotations

import json
import os
import tempfile

import pytest
from pylumotext import BM25

PREFIX = [10**6 + i for i in range(100)]  # not cached small ints: freed when the list drops them
SUFFIX = [2 * 10**6 + i for i in range(2000)]
CHANGES = {
    "clear": list.clear,
    "extend": lambda tokens: tokens.extend(range(100_000)),
    "shrink": lambda tokens: tokens.__delitem__(slice(50, None)),
    "replace": lambda tokens: tokens.__setitem__(slice(None), [7] * 300),
}


def trained():
    model = BM25()
    model.train([1, 2, 3])
    return model


def dumped(model):
    handle, path = tempfile.mkstemp(suffix=".json")
    os.close(handle)
    try:
        model.dump(path)
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    finally:
        os.unlink(path)


def call(model, method, tokens):
    result = getattr(model, method)(tokens)
    return dumped(model) if method == "train" else result


@pytest.mark.parametrize("method", ["train", "encode_document", "encode_query"])
@pytest.mark.parametrize("change", list(CHANGES), ids=list(CHANGES))
def test_list_changed_by_an_elements_index(method, change):
    tokens: list[object] = []

    class ChangesTheList:
        def __index__(self):
            CHANGES[change](tokens)
            return 5

    tokens.extend([*PREFIX, ChangesTheList(), *SUFFIX])
    got = call(trained(), method, tokens)
    # The elements after the changing one are those the list holds once it has changed.
    as_read = [*PREFIX, 5, *tokens[len(PREFIX) + 1 :]]
    assert got == call(trained(), method, as_read)


@pytest.mark.parametrize("method", ["train", "encode_document", "encode_query"])
def test_element_dropped_by_its_own_index(method):
    tokens: list[object] = []

    class DropsItself:
        def __index__(self):
            tokens.clear()  # the last reference to this very object goes
            return 9

    tokens.extend([*PREFIX, DropsItself()])
    assert call(trained(), method, tokens) == call(trained(), method, [*PREFIX, 9])


class ResizesEarlierTokens:
    """A sequence (not a list) whose later items resize the bytearray tokens it handed out."""

    def __init__(self, tokens):
        self.tokens = tokens
        self.garbage = []

    def __len__(self):
        return len(self.tokens)

    def __getitem__(self, index):
        if index >= len(self.tokens):
            raise IndexError(index)
        for earlier in self.tokens[:index]:
            if isinstance(earlier, bytearray):
                size = len(earlier)
                earlier.extend(b"!" * 1_000_000)  # moves the buffer, freeing the old one
                # Memory of the old size is taken again and filled, so a stale view reads junk.
                self.garbage.extend(bytearray(b"\xee" * size) for _ in range(8))
        return self.tokens[index]


@pytest.mark.parametrize("method", ["train", "encode_document", "encode_query"])
@pytest.mark.parametrize("size", [3, 40, 5000])
def test_bytearray_resized_while_the_sequence_is_read(method, size):
    first = "a" * size
    tokens = [bytearray(first.encode()), b"second", "third", bytearray(b"fourth" * size)]
    as_read = [first, "second", "third", "fourth" * size]
    assert call(trained(), method, ResizesEarlierTokens(tokens)) == call(trained(), method, as_read)
