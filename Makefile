# Set-up, build, demo and tests, all in a local .venv on CPython 3.13.
#
#   make demo   set up .venv, build and install korvex, run demo.py
#   make test   the same set-up plus the test dependencies, then pytest
#   make dist   sdists and wheels of korvex and the writer in dist/, korvex's
#               wheel repaired to a manylinux tag (tools/dist.sh)
#   make wheel-test   make dist, then dist/ alone installed into a fresh venv
#                     and the tests run against it (tools/wheel-test.sh)
#   make sanitize     the tests against a build with AddressSanitizer and
#                     UndefinedBehaviorSanitizer, in .venv-asan
#   make valgrind     the tests under valgrind memcheck (slow)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

.PHONY: venv install demo test dist wheel-test sanitize valgrind clean

# Creates .venv with CPython 3.13 unless a working one is already there.
venv:
	@if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then \
		python="$$(tools/find-python.sh)" || exit 1; \
		echo "creating $(VENV) with $$python"; \
		rm -rf $(VENV); \
		"$$python" -m venv $(VENV) || exit 1; \
		$(PIP) install --upgrade pip || exit 1; \
	fi

# The writer distribution first (when present), then korvex, always rebuilt
# from the current sources. korvex requires the writer, which is on no
# index: --no-deps keeps pip from looking for it there.
install: venv
	@if [ -d writer ]; then $(PIP) install ./writer; fi
	$(PIP) install --force-reinstall --no-deps .

demo: install
	printf '3\n10 20 30\n' | $(PY) demo.py

# The `test` extra of pyproject.toml, read with the venv's interpreter.
test: install
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")' \
		| $(PIP) install -r /dev/stdin
	$(PY) -m pytest -q tests

# The benchmarks: bench/bench.py (pyperf) with the `bench` extra of
# pyproject.toml. Options go through ARGS, e.g.
#   make bench ARGS="--fast -o results.json --chart ratios.png"
.PHONY: bench bench-fast
bench: install
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"], sep="\n")' \
		| $(PIP) install -r /dev/stdin
	$(PY) bench/bench.py $(ARGS)

# The same with pyperf's --fast (4 worker processes per benchmark here):
# 11 minutes on two shared cores.
bench-fast:
	$(MAKE) bench ARGS="--fast $(ARGS)"

# Call overhead in instructions under callgrind: bench/instructions.py, with
# the same `bench` extra (meson builds the floor callable, bench/floor.c,
# into build/bench). Options through ARGS, e.g. ARGS="-n 20000".
.PHONY: bench-instructions
bench-instructions: install
	$(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"], sep="\n")' \
		| $(PIP) install -r /dev/stdin
	$(PY) bench/instructions.py $(ARGS)

# Need no .venv: the scripts find CPython 3.13 themselves and keep their
# tools (the `dist` extra of pyproject.toml) in .venv-dist.
dist:
	tools/dist.sh dist

wheel-test:
	tools/wheel-test.sh

# The test extra, as `make test` installs it.
TEST_DEPS = $(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"], sep="\n")'

# A build with ASan and UBSan in its own build directory, installed into its
# own venv; the interpreter is not instrumented, so the sanitizer runtimes
# are preloaded, and PYTHONMALLOC=malloc hands every allocation to them.
# The check that the modules need nothing but libc does not apply to this
# build: it links the sanitizer runtimes.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_ENV = \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: venv
	@if ! $(ASAN_PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then \
		rm -rf $(ASAN_VENV); \
		$(PY) -m venv $(ASAN_VENV) || exit 1; \
	fi
	$(TEST_DEPS) | $(ASAN_PY) -m pip install -q -r /dev/stdin ./writer
	$(ASAN_PY) -m pip install -q --force-reinstall --no-deps . \
		-Cbuild-dir=build/asan \
		-Csetup-args=-Db_sanitize=address,undefined \
		-Csetup-args=-Db_lundef=false
	$(SANITIZER_ENV) $(ASAN_PY) -m pytest -s -q tests \
		-k 'not test_needs_only_libc'

# The installed .venv under memcheck: any report fails the run. The
# suppressions cover the interpreter's own code, never korvex.
VALGRIND = valgrind --tool=memcheck --leak-check=no --error-exitcode=99 \
	--suppressions=tools/valgrind-python.supp --trace-children=no --quiet

valgrind: install
	$(TEST_DEPS) | $(PIP) install -q -r /dev/stdin
	PYTHONMALLOC=malloc $(VALGRIND) $(PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(VENV) $(ASAN_VENV) .venv-dist build dist
