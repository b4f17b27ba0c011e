# Set-up, build, demo and tests, all in a local .venv on CPython 3.13.
#
#   make demo   set up .venv, build and install korvex, run demo.py
#   make test   the same set-up plus the `test` group, then pytest
#   make dist   sdists and wheels of korvex and the writer in dist/, korvex's
#               wheel repaired to a manylinux tag (tools/dist.sh)
#   make wheel-test   make dist, then dist/ alone installed into a fresh venv
#                     and the tests run against it (tools/wheel-test.sh)
#   make sanitize     the tests against a build with AddressSanitizer and
#                     UndefinedBehaviorSanitizer, in .venv-asan
#   make test-clang   the tests against a build with Clang, in .venv-clang
#   make valgrind     the tests under valgrind memcheck (slow)

VENV := .venv
PY := $(VENV)/bin/python
# Quiet: pip's errors and warnings still show, its progress log does not.
PIP_INSTALL = -m pip install -q --disable-pip-version-check
# The development tools are PEP 735 dependency groups of pyproject.toml;
# pip reads them with --group from 25.1 on.
NEW_PIP = 'import pip, sys; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (25, 1))'

.PHONY: venv install demo test dist wheel-test sanitize valgrind clean

# Creates .venv with CPython 3.13 unless a working one is already there,
# with a pip that knows dependency groups.
venv:
	@if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then \
		python="$$(tools/find-python.sh)" || exit 1; \
		echo "creating $(VENV) with $$python"; \
		rm -rf $(VENV); \
		"$$python" -m venv $(VENV) || exit 1; \
	fi
	@$(PY) -c $(NEW_PIP) || $(PY) $(PIP_INSTALL) --upgrade 'pip>=25.1'

# The writer distribution first, then korvex, always rebuilt from the
# current sources. korvex requires the writer at its own version, which is
# on no index yet: --no-deps keeps pip from looking for it there.
install: venv
	@echo "building and installing the writer and korvex into $(VENV)"
	@$(PY) $(PIP_INSTALL) ./writer
	@$(PY) $(PIP_INSTALL) --force-reinstall --no-deps .

demo: install
	@printf '3\n10 20 30\n' | $(PY) demo.py

test: install
	@$(PY) $(PIP_INSTALL) --group test
	$(PY) -m pytest -q tests

# The benchmarks: bench/bench.py (pyperf) with the `bench` group of
# pyproject.toml. Options go through ARGS, e.g.
#   make bench ARGS="--fast -o results.json --chart ratios.png"
.PHONY: bench bench-fast
bench: install
	@$(PY) $(PIP_INSTALL) --group bench
	$(PY) bench/bench.py $(ARGS)

# The same with pyperf's --fast (4 worker processes per benchmark here):
# 11 minutes on two shared cores.
bench-fast:
	$(MAKE) bench ARGS="--fast $(ARGS)"

# Call overhead in instructions under callgrind: bench/instructions.py, with
# the same `bench` group (meson builds the floor callable, bench/floor.c,
# into build/bench). Options through ARGS, e.g. ARGS="-n 20000".
.PHONY: bench-instructions
bench-instructions: install
	@$(PY) $(PIP_INSTALL) --group bench
	$(PY) bench/instructions.py $(ARGS)

# Need no .venv: the scripts find CPython 3.13 themselves and keep their
# tools (the `dist` group of pyproject.toml) in .venv-dist.
dist:
	tools/dist.sh dist

wheel-test:
	tools/wheel-test.sh

# Another build of korvex in its own venv and build directory, with the
# writer and the test group: $(call variant,venv,build directory,pip options),
# where $(,) stands for a comma inside an option.
, := ,
define variant
	@if ! $(1)/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then \
		rm -rf $(1); \
		$(PY) -m venv $(1) || exit 1; \
	fi
	@$(1)/bin/python -c $(NEW_PIP) || $(1)/bin/python $(PIP_INSTALL) --upgrade 'pip>=25.1'
	@echo "building and installing the writer and korvex into $(1) (build directory $(2))"
	@$(1)/bin/python $(PIP_INSTALL) --group test ./writer
	@$(1)/bin/python $(PIP_INSTALL) --force-reinstall --no-deps . -Cbuild-dir=$(2) $(3)
endef

# A build with ASan and UBSan in its own build directory, installed into its
# own venv; the interpreter is not instrumented, so the sanitizer runtimes
# are preloaded, and PYTHONMALLOC=malloc hands every allocation to them.
# The check that the modules need nothing but libc does not apply to this
# build: it links the sanitizer runtimes. Output is captured at the level of
# sys.stdout and sys.stderr, so what tests print stays out of pytest's
# progress while a sanitizer report, written to the file descriptor, shows
# where it happens.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_ENV = \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: venv
	$(call variant,$(ASAN_VENV),build/asan,-Csetup-args=-Db_sanitize=address$(,)undefined -Csetup-args=-Db_lundef=false)
	$(SANITIZER_ENV) $(ASAN_PY) -m pytest --capture=sys -q tests \
		-k 'not test_needs_only_libc'

# The same suite against korvex built with Clang (CLANGXX, by default the
# system's clang++) in build/clang and .venv-clang.
CLANGXX ?= clang++
CLANG_VENV := .venv-clang
.PHONY: test-clang
test-clang: export CXX = $(CLANGXX)
test-clang: venv
	@command -v $(CLANGXX) >/dev/null || { echo "test-clang needs $(CLANGXX) on PATH" >&2; exit 1; }
	@$(CLANGXX) --version | head -n 1
	$(call variant,$(CLANG_VENV),build/clang,)
	$(CLANG_VENV)/bin/python -m pytest -q tests

# The installed .venv under memcheck: any report fails the run. The
# suppressions cover the interpreter's own code, never korvex.
VALGRIND = valgrind --tool=memcheck --leak-check=no --error-exitcode=99 \
	--suppressions=tools/valgrind-python.supp --trace-children=no --quiet

valgrind: install
	@$(PY) $(PIP_INSTALL) --group test
	PYTHONMALLOC=malloc $(VALGRIND) $(PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(CLANG_VENV) .venv-dist build dist
