# quorvel: `make test` builds everything and runs every test; `make demo` runs
# the example on the bundled data. Both set themselves up on a fresh machine.

PYTHON ?= python3.12
PY := $(shell tools/find-python.sh $(PYTHON))
VENV := .venv-$(notdir $(PYTHON))
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
BUILD := build/cpp
JOBS ?= 2

.PHONY: test cpp-test cpp-build py-build py-test demo bench bench-smoke bench-cpp format clean system-deps venv

test: cpp-test py-test

system-deps:
	@tools/ensure-system-deps.sh

$(VENV)/.stamp: requirements-test.txt
	@test -n "$(PY)" || { echo "no Python for $(PYTHON)"; exit 1; }
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-test.txt
	touch $@

venv: $(VENV)/.stamp

cpp-build: system-deps venv
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-build: system-deps venv
	PATH=$(abspath $(VENV)/bin):$$PATH $(VPY) -m pip install -q --no-build-isolation .

py-test: py-build
	$(VPY) -m pytest tests/python -q

# Builds the module the same way as `make test`, then reverse-geocodes a few
# landmarks with the bundled world data.
demo: py-build
	$(VPY) examples/demo.py

bench-cpp: cpp-build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b; done

# The comparison with the peers runs in its own venv, so that they never leak
# into the test venv; `make bench` rewrites docs/benchmarks.md and its chart.
BENCH_VENV := build/bench-venv
BPY := $(BENCH_VENV)/bin/python

$(BENCH_VENV)/.stamp: bench/requirements.txt requirements-test.txt
	@test -n "$(PY)" || { echo "no Python for $(PYTHON)"; exit 1; }
	$(PY) -m venv $(BENCH_VENV)
	$(BPY) -m pip install -q --upgrade pip
	$(BPY) -m pip install -q -r requirements-test.txt -r bench/requirements.txt
	touch $@

bench: system-deps $(BENCH_VENV)/.stamp
	PATH=$(abspath $(BENCH_VENV)/bin):$$PATH $(BPY) -m pip install -q --no-build-isolation --config-settings=build-dir=build/py-bench .
	$(BPY) bench/compare.py --out-dir docs

# Tiny sizes, whatever peers are present: proves the harness runs, measures nothing.
bench-smoke: py-build
	$(VPY) bench/compare.py --smoke --out-dir build/bench-smoke

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/cpp/*.cpp' 'bench/*.cpp' 'fuzz/*.cpp')

clean:
	rm -rf build .venv-*
