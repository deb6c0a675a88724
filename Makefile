# vesk: `make test` runs every check, `make demo` reads the demo vault.
PYTHON     ?= python3
BUILD      ?= build
FUZZ_SECS  ?= 10
DEB_PKGS   := libssl-dev librust-blake3-dev libgtest-dev age openssh-client git clang libclang-rt-14-dev
CMAKE_ARGS := -G Ninja -DVESK_WERROR=ON

.PHONY: test demo deps install cpp-test fuzz-test abi3-check asan-test valgrind-test py-test bench clean

# pytest runs last, so the command ends on its summary line.
test: deps install cpp-test fuzz-test abi3-check asan-test valgrind-test py-test

# Installs what a fresh Debian machine lacks (only when root; otherwise reports).
deps:
	@missing=""; for p in $(DEB_PKGS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "installing:$$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else echo "missing Debian packages:$$missing" >&2; exit 1; fi; \
	fi

PIP := $(PYTHON) -m pip install -q --disable-pip-version-check

# Builds the abi3 wheel and installs it with the test extras.
install:
	$(PIP) "cmake>=3.26" ninja abi3audit
	rm -rf $(BUILD)/dist
	$(PYTHON) -m pip wheel -q --disable-pip-version-check --no-deps -w $(BUILD)/dist .
	$(PIP) --force-reinstall --no-deps $(BUILD)/dist/vesk-*-cp310-abi3-*.whl
	$(PIP) "$$(ls $(BUILD)/dist/vesk-*.whl)[test]"

abi3-check:
	$(PYTHON) -m abi3audit --strict --report $(BUILD)/dist/vesk-*-cp310-abi3-*.whl

cpp-test:
	cmake -S . -B $(BUILD)/cpp $(CMAKE_ARGS) -DVESK_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/cpp
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j4 --timeout 300

# A short, bounded libFuzzer run per target, seeded from fuzz/corpus/<target>/.
fuzz-test:
	@if ! command -v clang++ >/dev/null; then echo "clang not found: fuzzing skipped"; exit 0; fi; \
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(CMAKE_ARGS) -DVESK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && \
	cmake --build $(BUILD)/fuzz && \
	for f in $$(find $(BUILD)/fuzz -maxdepth 1 -type f -executable -name "fuzz_*" | sort); do \
	  name=$$(basename $$f); work=$(BUILD)/fuzz/corpus-$$name; mkdir -p $$work fuzz/corpus/$$name; \
	  echo "fuzzing $$name for $(FUZZ_SECS)s"; \
	  $$f -max_total_time=$(FUZZ_SECS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
	      $$work fuzz/corpus/$$name >$(BUILD)/fuzz/$$name.log 2>&1 \
	    || { tail -n 60 $(BUILD)/fuzz/$$name.log; exit 1; }; \
	done

# The Python suite once more against an ASan+UBSan build of the extension.
ASAN_RT = $$(gcc -print-file-name=libasan.so)
asan-test:
	cmake -S . -B $(BUILD)/asan $(CMAKE_ARGS) -DVESK_PYTHON=ON -DVESK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(BUILD)/asan --target vesk
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 LD_PRELOAD=$(ASAN_RT) \
	  VESK_TEST_MODULE_DIR=$(BUILD)/asan PYTHONPATH=$(BUILD)/asan $(PYTHON) -m pytest -q -p no:cacheprovider

# A short subset under valgrind (the system allocator, so every block is seen).
valgrind-test:
	PYTHONMALLOC=malloc valgrind -q --error-exitcode=1 --leak-check=no --suppressions=tests/valgrind-python.supp \
	  $$($(PYTHON) -c 'import sys; print(sys.executable)') -m pytest -q -p no:cacheprovider -m valgrind

py-test:
	$(PYTHON) -m pytest -q

demo: install
	@cd examples && $(PYTHON) demo.py

# Benchmarks: ratios against floors measured in the same run (never tests).
bench: install
	cmake -S . -B $(BUILD)/bench -G Ninja -DVESK_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/bench --target bench_decrypt bench_mac
	$(BUILD)/bench/bench_decrypt
	$(BUILD)/bench/bench_mac
	VESK_BENCH_BUILD=$(BUILD)/bench $(PYTHON) bench/json_read.py
	$(PYTHON) bench/load.py

clean:
	rm -rf $(BUILD)
