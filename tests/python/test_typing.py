"""Type information: the extension's stub agrees with the module, and mypy --strict uses it."""

from __future__ import annotations

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pylumotext
import pytest

HERE = Path(__file__).resolve().parent
STUB = Path(pylumotext.__file__).with_name("pylumotext.pyi")

# How the stub spells what pybind11's generated signatures call these types: sequences and
# byte strings convert too.
STUB_SPELLING = {
    "list[str]": "Sequence[str | bytes]",
    "list[int]": "Sequence[int]",
    "str": "str | bytes",
    "float": "float",
}
SIGNATURE = re.compile(r"^(?:\d+\. )?(\w+)\((.*)\) -> (.+)$")


def runtime_overloads(function):
    """(parameter names, parameter types, defaults, return type) per overload, as bound."""
    found = []
    for line in function.__doc__.splitlines():
        match = SIGNATURE.match(line.strip())
        if not match:
            continue
        params = [p.strip() for p in match.group(2).split(",")][1:]  # without self
        names, types, defaults = [], [], []
        for param in params:
            declared, _, default = param.partition(" = ")
            name, _, annotation = declared.partition(": ")
            names.append(name)
            types.append(STUB_SPELLING.get(annotation, annotation))
            defaults.append(default or None)
        found.append((names, types, defaults, match.group(3)))
    return found


def stub_overloads(function: ast.FunctionDef):
    args = function.args
    params = [*args.posonlyargs, *args.args][1:]
    defaults = [None] * (len(params) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return (
        [p.arg for p in params],
        [ast.unparse(p.annotation) for p in params],
        defaults,
        ast.unparse(function.returns),
    )


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            methods: dict[str, list] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    methods.setdefault(item.name, []).append(stub_overloads(item))
            classes[node.name] = methods
    return classes


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    assert STUB.is_file()
    assert importlib.util.find_spec("lumotext") is not None
    lumotext_dir = Path(importlib.util.find_spec("lumotext").origin).parent
    assert (lumotext_dir / "py.typed").is_file()
    assert (STUB.parent / "pylumotext-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()


def test_stub_declares_exactly_the_module_classes():
    public = {name for name, value in vars(pylumotext).items() if isinstance(value, type)}
    assert set(stub_classes()) == public


@pytest.mark.parametrize("class_name", ["BM25", "Jieba"])
def test_stub_methods_match_the_bound_signatures(class_name):
    cls = getattr(pylumotext, class_name)
    stub = stub_classes()[class_name]
    bound = {name for name in vars(cls) if not name.startswith("_") or name == "__init__"}
    assert set(stub) == bound
    for name, overloads in stub.items():
        assert overloads == runtime_overloads(getattr(cls, name)), name


def run_mypy(path: Path, cache: Path):
    pytest.importorskip("mypy", reason="mypy is not installed (it is in the test extra)")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", f"--cache-dir={cache}", str(path)],
        capture_output=True,
        text=True,
        cwd=path.parent,
        timeout=300,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def test_strict_mypy_accepts_the_example(mypy_cache):
    result = run_mypy(HERE / "typing_example.py", mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = [
    ('BM25().b("high")', 'No overload variant of "b" of "BM25" matches argument type "str"'),
    ("BM25().encode_query([1.5])", 'List item 0 has incompatible type "float"'),
    ("x: dict[str, float] = BM25().encode_document([1, 2])", "Incompatible types in assignment"),
    ('Jieba("d", "h", "u", "i")', 'Missing positional argument "stop_word_path"'),
    (
        'Jieba("d", "h", "u", "i", "s").cut(sentence=3)',
        'Argument "sentence" to "cut" of "Jieba" has incompatible type "int"',
    ),
    ("lumotext.segment_many(BM25(), [])", 'Argument 1 to "segment_many" has incompatible type "BM25"'),
    (
        "lumotext.to_sparse_vector({'a': 1.0}, {'a': 'zero'})",
        'Dict entry 0 has incompatible type "str": "str"; expected "str": "int"',
    ),
]


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory, mypy_cache):
    source = tmp_path_factory.mktemp("misuse") / "misuse.py"
    header = ["import lumotext", "from pylumotext import BM25, Jieba", ""]
    source.write_text("\n".join(header + [line for line, _ in MISUSE]) + "\n", encoding="utf-8")
    result = run_mypy(source, mypy_cache)
    assert result.returncode == 1
    return len(header), result.stdout.splitlines()


@pytest.mark.parametrize("index", range(len(MISUSE)), ids=[line for line, _ in MISUSE])
def test_strict_mypy_catches_misuse(misuse_report, index):
    offset, report = misuse_report
    errors = [line for line in report if line.startswith(f"misuse.py:{offset + index + 1}: error:")]
    assert any(MISUSE[index][1] in error for error in errors), report
