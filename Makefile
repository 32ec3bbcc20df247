# make demo   - set up what is missing, build, run the demo against the simulated broker
# make test   - set up what is missing, build, run every test (Python and C++)
PYTHON ?= python3
BUILD  ?= build/dev
JOBS   ?= $(shell nproc)
APT_PACKAGES = libssl-dev openssl ninja-build libgtest-dev libxxhash-dev clang libclang-rt-14-dev mosquitto
PY_PACKAGES  = "scikit-build-core>=0.10" "nanobind>=2.4" ninja "requests>=2.28" "msgspec>=0.18" "pytest>=7" "paho-mqtt>=2.0" "msgpack>=1.0"
PIP_INSTALL = $(PYTHON) -m pip install -q --root-user-action=ignore

.PHONY: setup install dev demo test test-python test-cpp test-sanitize fuzz bench clean

setup:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi
	@$(PYTHON) -c "import scikit_build_core, nanobind, ninja, requests, msgspec, pytest, paho.mqtt, msgpack" 2>/dev/null || \
	  $(PIP_INSTALL) $(PY_PACKAGES)
	@command -v cmake >/dev/null || $(PIP_INSTALL) "cmake>=3.18"

# The package as users get it.
install: setup
	$(PIP_INSTALL) --no-build-isolation .

# In-tree build for development: modules are copied next to their sources.
dev: setup
	cmake -S . -B $(BUILD) -G Ninja -DTALOMA_INPLACE=ON -DTALOMA_BUILD_TESTS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD) -j $(JOBS)

demo: install
	cd /tmp && $(PYTHON) -m taloma.demo

# pytest runs last so that its summary closes the run.
test: install test-cpp test-python

# Against the installed package: run from tests/ so that the source tree stays off sys.path.
test-python:
	cd tests && $(PYTHON) -m pytest -q .

test-cpp: setup
	@if [ -f taloma/Vorn/CMakeLists.txt ]; then \
	  cmake -S . -B build/cpp -G Ninja -DTALOMA_PYTHON_MODULES=OFF -DTALOMA_BUILD_TESTS=ON && \
	  cmake --build build/cpp -j $(JOBS) && ctest --test-dir build/cpp --output-on-failure -j $(JOBS) && \
	  $(MAKE) test-sanitize && $(MAKE) fuzz; \
	fi

test-sanitize:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALOMA_PYTHON_MODULES=OFF -DTALOMA_BUILD_TESTS=ON -DTALOMA_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# libFuzzer targets (clang), each run briefly from its seed corpus; longer runs: fuzz/README.md.
FUZZ_SECONDS ?= 10
fuzz: setup
	@if ls fuzz/fuzz_*.cpp >/dev/null 2>&1 && command -v clang++ >/dev/null; then \
	  cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DTALOMA_PYTHON_MODULES=OFF -DTALOMA_FUZZ=ON && \
	  cmake --build build/fuzz -j $(JOBS) --target vorn_fuzzers && \
	  for f in fuzz/fuzz_*.cpp; do n=$$(basename $$f .cpp); out=build/fuzz/new-$$n; mkdir -p $$out; \
	    echo "== $$n"; rc=0; build/fuzz/taloma/Vorn/$$n -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	      -print_final_stats=1 $$out $$( [ -d fuzz/corpus/$$n ] && echo fuzz/corpus/$$n ) >$$out.log 2>&1 || rc=$$?; \
	    grep -E '^stat::number_of_executed_units' $$out.log; \
	    if [ $$rc -ne 0 ]; then tail -40 $$out.log; exit 1; fi; done; \
	fi

bench: install
	@for b in bench/bench_*.py; do echo "== $$b"; $(PYTHON) $$b || exit 1; done

clean:
	rm -rf build dist *.egg-info
	find taloma -name '*.so' -delete
