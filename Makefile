# make demo   : set up when needed, then run examples/quickstart.py
# make test   : set up when needed, then the engine tests (ctest) and the Python tests (pytest)
# make setup  : system packages, free-threaded CPython, .venv, editable install (idempotent)
# make test-asan / make test-tsan : the engine tests under AddressSanitizer / ThreadSanitizer
# make test-python-asan : the Python tests against both modules built with AddressSanitizer
# make fuzz   : the corrupted-store fuzzer under AddressSanitizer, FUZZ_CASES cases from FUZZ_SEED
# make bench  : set up when needed, then print the one table of bench/report.py

VENV := .venv
PY := $(VENV)/bin/python
JOBS := $(shell nproc)
DEPS_STAMP := $(VENV)/.deps-ready
INSTALL_STAMP := $(VENV)/.tavrill-installed
PACKAGE_SOURCES := $(shell find src python -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml

.PHONY: setup test demo bench engine-tests python-tests test-asan test-tsan test-python-asan fuzz format clean

setup: $(INSTALL_STAMP)

$(DEPS_STAMP): tools/setup
	tools/setup
	touch $@

$(INSTALL_STAMP): $(DEPS_STAMP) $(PACKAGE_SOURCES)
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation -e .
	touch $@

test: engine-tests python-tests

demo: setup
	$(PY) examples/quickstart.py

bench: setup
	$(PY) bench/report.py

# ctest runs each test binary case in its own process, two at a time on this machine's cores.
define engine_test_run
	cmake -S . -B $(1) -G Ninja -DTAVRILL_BUILD_TESTS=ON -DTAVRILL_BUILD_PYTHON=OFF $(2) >/dev/null
	cmake --build $(1)
	ctest --test-dir $(1) --output-on-failure -j$(JOBS) $(3)
endef

engine-tests: $(DEPS_STAMP)
	$(call engine_test_run,build/engine,,)

# pytest exits 5 when it collects nothing, which is not a failure.
python-tests: setup
	$(PY) -m pytest -q tests/python; status=$$?; [ $$status -eq 0 ] || [ $$status -eq 5 ]

test-asan: $(DEPS_STAMP)
	$(call engine_test_run,build/asan,-DTAVRILL_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug,)

test-python-asan: setup
	tools/test-python-asan

test-tsan: $(DEPS_STAMP)
	$(call engine_test_run,build/tsan,-DTAVRILL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo,)

FUZZ_CASES ?= 100000
FUZZ_SEED ?= 1
fuzz: $(DEPS_STAMP)
	cmake -S . -B build/fuzz -G Ninja -DTAVRILL_BUILD_TESTS=ON -DTAVRILL_BUILD_PYTHON=OFF \
	  -DTAVRILL_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/fuzz --target store_fuzz
	build/fuzz/store_fuzz --cases $(FUZZ_CASES) --seed $(FUZZ_SEED)

format:
	clang-format -i $$(find src tests -name '*.cc' -o -name '*.h')

clean:
	rm -rf build $(INSTALL_STAMP) $(DEPS_STAMP)
