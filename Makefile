# Everything a fresh machine needs: `make test` and `make demo` do the whole
# set-up. The venv lives in .venv; PYTHON names the CPython (3.12 or newer)
# to build it with: found automatically, before anything is installed, or
# given as `make PYTHON=/path/to/python3.13` (then `make clean` first if a
# venv was made with another one).
#
# Which packages the venv holds is said in pyproject.toml, their versions in
# constraints.txt: every pip command here goes through $(PIP_INSTALL).

ifndef PYTHON
PYTHON := $(shell scripts/find-python)
endif
# Another interpreter gets a venv of its own beside .venv, e.g. CI's second
# pass: make VENV=.venv-3.13 PYTHON=$(scripts/find-python 3.13) test
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
PIP_INSTALL := $(PIP) install --constraint constraints.txt
SOURCES := $(wildcard src/native/*.cpp src/native/*.hpp src/tavrel_saml/*) CMakeLists.txt pyproject.toml

# lxml and xmlsec come as the binary wheels of constraints.txt, a pair that
# carries the same libxml2 (scripts/check-xml proves it). `make
# XML_FROM_SOURCE=1 ...` compiles both against Debian's libxml2 and
# libxmlsec1 instead, for sites that build everything from source; it takes
# some five minutes more.
ifeq ($(XML_FROM_SOURCE),1)
XML := source
else
XML := wheels
endif

.PHONY: test test-asan test-release dist build system-deps clean format demo bench bench-instructions valgrind fuzz

# The suite runs on every core (pytest-xdist), one worker process each;
# tests marked with an xdist_group run on one worker, one after another, and
# the order tests/conftest.py gives is kept (long tests first).
# `make test TEST_WORKERS=0` runs it in one process. Chromium is installed
# in the background only when browser tests are selected (tests/chromium.py:
# `make test` starts it, the suite otherwise):
# `make test PYTEST_ARGS="-m 'not browser'"` needs none.
TEST_WORKERS := auto
XDIST := -n $(TEST_WORKERS) $(if $(filter 0,$(TEST_WORKERS)),,--dist loadgroup --no-loadscope-reorder)

# Chromium starts installing beside the set-up when browser tests are to run
# (tests/chromium.py; nothing when it is there): the suite waits for it.
test: $(if $(findstring not browser,$(PYTEST_ARGS)),,browser-install) build
	$(VPY) -m pytest $(XDIST) $(PYTEST_ARGS)

.PHONY: browser-install
browser-install:
	@$(or $(PYTHON),python3) -c 'import sys; sys.path.insert(0, "tests"); import chromium; chromium.start_install()'

# The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: build
	VENV=$(VENV) scripts/test-asan $(XDIST) $(PYTEST_ARGS)

# A release in dist/: the source distribution, a wheel built from it and
# repaired to the manylinux tag its symbol versions allow, both checked by
# twine. The wheel carries the module and its types only: it links nothing
# but the C and C++ runtimes, which the manylinux tag promises, so auditwheel
# has nothing to bundle; scripts/check-dist refuses the wheel if it ever does.
DIST := dist
dist: $(VENV)/.release-deps
	rm -rf $(DIST) build/release && mkdir -p build/release
	$(VPY) -m build --no-isolation --outdir build/release .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --wheel-dir $(DIST) build/release/*.whl
	cp build/release/*.tar.gz $(DIST)/
	$(VPY) scripts/check-dist $(DIST)
	$(VPY) -m twine check --strict $(DIST)/*

# The release in clean venvs: the repaired wheel with no compiler on PATH,
# the sdist built and installed (tests/test_release.py).
test-release: dist build
	$(VPY) -m pytest $(XDIST) --release -m release tests/test_release.py $(PYTEST_ARGS)

$(VENV)/.release-deps: $(VENV)/.deps
	$(PIP_INSTALL) $$($(VPY) scripts/requirements release)
	touch $@

# Coverage-guided fuzzing of the entry points (fuzz/): the module built with
# clang, libFuzzer's coverage and the sanitizers (build/fuzz), then each
# target for FUZZ_SECONDS seconds. Found inputs are left in build/fuzz/artifacts/.
FUZZ_SECONDS ?= 60
fuzz: build $(VENV)/.fuzz-deps
	scripts/install-system-deps fuzz
	scripts/fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz-run

$(VENV)/.fuzz-deps: $(VENV)/.deps
	$(PIP_INSTALL) $$($(VPY) scripts/requirements fuzz)
	touch $@

# The demo site (host/demo.ini) with its built-in test IdP; Ctrl-C stops both.
demo: build
	@echo "demo site: http://127.0.0.1:6543  (built-in test IdP: http://127.0.0.1:6544)"
	PYTHONPATH=host PYTHONWARNINGS="ignore:pkg_resources is deprecated:UserWarning" \
	    $(VENV)/bin/pserve host/demo.ini

# What the module costs beside the toolkit, and how it grows (a harness, not
# timed tests): prints a table, writes bench/results/ and docs/benchmarks.md.
# `make bench BENCH_ARGS=--quick` for a short trial run.
bench: build $(VENV)/.bench-deps valgrind
	$(VPY) bench/run.py $(BENCH_ARGS)

# Only the instruction counts (callgrind), which hold on a loaded machine.
bench-instructions: build $(VENV)/.bench-deps valgrind
	$(VPY) bench/instructions.py $(BENCH_ARGS)

valgrind:
	@command -v valgrind >/dev/null 2>&1 || { \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq valgrind; }

$(VENV)/.bench-deps: $(VENV)/.deps
	$(PIP_INSTALL) $$($(VPY) scripts/requirements bench)
	touch $@

# The module compiles while the rest is installed: after the venv and the
# build requirements, make goes on in parallel (lines of output interleave).
build:
	@$(MAKE) --no-print-directory -j3 --output-sync=line build-parts

.PHONY: build-parts test-system-deps
build-parts: $(VENV)/.installed $(VENV)/.deps test-system-deps

test-system-deps:
	scripts/install-system-deps test

system-deps:
	scripts/install-system-deps build test browser $(if $(filter source,$(XML)),xml-source)

# The interpreter is looked for first: without one, nothing is installed.
$(VPY):
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 or newer found (with venv support and C headers):" \
	    "install one, or run make PYTHON=/path/to/python3.12" >&2; exit 1; }
	@echo "venv with $(PYTHON)"
	$(PYTHON) -m venv $(VENV)
	$(PIP_INSTALL) --quiet pip

# The build requirements first: every later pip command in the venv runs
# beside the module's compile, and finds them installed.
$(VENV)/.build-deps: $(VPY) pyproject.toml constraints.txt scripts/requirements
	$(PIP_INSTALL) $$($(VPY) scripts/requirements --build)
	touch $@

# Each way of getting lxml and xmlsec leaves its own stamp, so that switching
# XML_FROM_SOURCE reinstalls them. The pair is checked before anything else
# is installed beside it.
$(VENV)/.xml-wheels: $(VENV)/.build-deps constraints.txt scripts/check-xml
	rm -f $(VENV)/.xml-*
	$(PIP_INSTALL) --force-reinstall --only-binary lxml,xmlsec lxml xmlsec python3-saml cryptography
	$(VPY) scripts/check-xml
	touch $@

# lxml is compiled once, into the venv; xmlsec is then built against it
# without an isolated build environment, which would compile lxml again.
$(VENV)/.xml-source: $(VENV)/.build-deps constraints.txt scripts/check-xml
	rm -f $(VENV)/.xml-*
	scripts/install-system-deps xml-source
	$(PIP_INSTALL) --force-reinstall --no-deps --no-binary lxml lxml
	$(PIP_INSTALL) setuptools setuptools-scm pkgconfig wheel
	$(PIP_INSTALL) --force-reinstall --no-deps --no-build-isolation --no-binary xmlsec xmlsec
	$(PIP_INSTALL) --no-binary lxml,xmlsec python3-saml cryptography
	$(VPY) scripts/check-xml
	touch $@

# The dependencies and the test extra of pyproject.toml.
$(VENV)/.deps: $(VENV)/.xml-$(XML) pyproject.toml constraints.txt scripts/requirements
	$(PIP_INSTALL) $$($(VPY) scripts/requirements test)
	touch $@

# The module alone (--no-deps): it needs nothing else to compile.
$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES)
	scripts/install-system-deps build
	$(PIP) install --no-build-isolation --no-deps \
	    --config-settings=cmake.define.TAVREL_SAML_WERROR=ON .
	touch $@

format:
	clang-format -i src/native/*.cpp src/native/*.hpp

clean:
	rm -rf build dist $(VENV) *.egg-info
