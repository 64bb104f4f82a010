# Everything a fresh machine needs: `make test` and `make demo` do the whole
# set-up. The venv lives in .venv; PYTHON names the CPython 3.12 to build it
# with (found automatically, override with `make PYTHON=/path/to/python3.12`).

PYTHON ?= $(shell scripts/find-python312)
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
SOURCES := $(wildcard src/native/*.cpp src/native/*.hpp src/tavrel_saml/*) CMakeLists.txt pyproject.toml

.PHONY: test test-asan build system-deps venv clean format demo bench

test: build
	$(VPY) -m pytest $(PYTEST_ARGS)

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: build
	scripts/test-asan $(PYTEST_ARGS)

# The demo site (host/demo.ini) with its built-in test IdP; Ctrl-C stops both.
demo: build
	@echo "demo site: http://127.0.0.1:6543  (built-in test IdP: http://127.0.0.1:6544)"
	PYTHONPATH=host PYTHONWARNINGS="ignore:pkg_resources is deprecated:UserWarning" \
	    $(VENV)/bin/pserve host/demo.ini

# What the module costs beside the toolkit, and how it grows (a harness, not
# timed tests): prints a table, writes bench/results/ and docs/benchmarks.md.
# `make bench BENCH_ARGS=--quick` for a short trial run.
bench: build $(VENV)/.bench-deps
	$(VPY) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-deps: $(VENV)/.deps
	$(PIP) install matplotlib
	touch $@

build: $(VENV)/.installed

system-deps:
	scripts/install-system-deps

# lxml and xmlsec are built from source against the system's libxml2 and
# libxmlsec1: wheels of the two may carry different libxml2 versions and then
# refuse to import together.
$(VENV)/.deps: pyproject.toml scripts/install-system-deps
	scripts/install-system-deps
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found: run make PYTHON=/path/to/python3.12" >&2; exit 1; }
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install scikit-build-core pybind11 cmake ninja
	$(PIP) install --no-binary lxml,xmlsec lxml xmlsec python3-saml
	$(PIP) install pytest pyramid WebOb cryptography pymemcache hypothesis waitress playwright mypy
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps \
	    --config-settings=cmake.define.TAVREL_SAML_WERROR=ON .
	touch $@

format:
	clang-format -i src/native/*.cpp src/native/*.hpp

clean:
	rm -rf build $(VENV) *.egg-info
