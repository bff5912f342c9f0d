# All set-up happens here: `make test` and `make demo` work on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV     := .venv
PY       := $(VENV)/bin/python
JOBS     ?= 2
CPP_BUILD := build/cpp
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

SOURCES := $(shell find csrc lumotext stubs -type f -not -path '*/__pycache__/*' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: test cpp-test py-test demo install venv clean data bench

$(VENV)/.created:
	@py312=$$(tools/find-python312.sh) && echo "Creating $(VENV) with $$py312" && "$$py312" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13,<3" cmake ninja
	touch $@

$(VENV)/.deps: $(VENV)/.created pyproject.toml tools/requirements.py
	$(PY) tools/requirements.py test scipy dask > $(VENV)/requirements.txt
	$(PY) -m pip install -q -r $(VENV)/requirements.txt
	touch $@

venv: $(VENV)/.deps

# Incremental: scikit-build-core keeps its CMake tree under build/, so an unchanged source tree
# rebuilds nothing, and the stamp skips pip altogether.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: $(VENV)/.installed

cpp-test: $(VENV)/.created
	tools/ensure-gtest.sh
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DLUMOTEXT_BUILD_EXTENSION=OFF -DLUMOTEXT_BUILD_TESTS=ON >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

py-test: install
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .

test: cpp-test py-test

demo: install
	$(PY) -m lumotext.demo

# Rebuilds the five default data files in lumotext/data/ (the IDF list needs the built module).
$(VENV)/.data-deps: $(VENV)/.created tools/requirements.txt
	$(PY) -m pip install -q -r tools/requirements.txt
	touch $@

data: install $(VENV)/.data-deps
	$(PY) tools/make_data.py

# Benchmarks: a separate venv with the peers (bench/requirements.txt) and the package.
# A peer that fails to install is reported by the benchmark, not fatal here.
BENCH_VENV := bench/.venv
BENCH_PY   := $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.created:
	@py312=$$(tools/find-python312.sh) && echo "Creating $(BENCH_VENV) with $$py312" && "$$py312" -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install -q --upgrade pip
	$(BENCH_PY) -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13,<3" cmake ninja
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
