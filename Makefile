# make test: a virtual environment with everything the suite needs, the package built into it,
# and the suite run (on the CPU stand-ins when no GPU is usable) in each stream mode.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin

.PHONY: test lint typecheck install venv stubs manifest bench clean

JOBS ?= auto
STREAM_TESTS := build/stream-tests.txt
PYTEST := $(BIN)/python -m pytest -q -n $(JOBS) --dist loadgroup

# The suite runs on CuPy's legacy default stream, then inside a non-blocking stream and on
# per-thread default streams (tests/conftest.py), so that work ordered only by the default stream's
# implicit synchronisation fails. The first run lists the tests whose result can depend on the
# stream (those that queue device work, themselves or in processes they start); the other two run
# only those.
# All three run whatever the others give; the target fails at the end, naming each mode that failed.
test: install lint typecheck
	@mkdir -p build && rm -f $(STREAM_TESTS)
	@failed=""; \
	$(PYTEST) --record-stream-tests=$(STREAM_TESTS) || failed="$$failed default"; \
	QUORVEX_TEST_STREAM=nonblocking $(PYTEST) --stream-tests=$(STREAM_TESTS) || failed="$$failed nonblocking"; \
	QUORVEX_TEST_STREAM=per-thread $(PYTEST) --stream-tests=$(STREAM_TESTS) || failed="$$failed per-thread"; \
	if [ -n "$$failed" ]; then echo "make test: failed in the stream modes:$$failed"; exit 1; fi

lint: venv
	$(BIN)/ruff check src tests standin tools benchmarks examples
	git ls-files 'src/*.cpp' 'src/*.hpp' | xargs $(BIN)/clang-format --dry-run --Werror

# The examples, as a user's code, checked against the installed package's stubs by both checkers.
typecheck: install
	$(BIN)/mypy examples/
	$(BIN)/basedpyright examples/

install: venv
	$(BIN)/pip install --no-build-isolation -q .

venv: $(BIN)/.deps

$(BIN)/.deps: requirements-dev.txt pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install -q --upgrade pip
	$(BIN)/pip install -q -r requirements-dev.txt
	touch $@

stubs: install
	$(BIN)/python tools/stubgen.py

# The API of the real GPU libraries the stand-ins emulate (standin/api_manifest.json), read from
# their wheels (downloaded into build/wheels; no GPU needed).
manifest: venv
	$(BIN)/python tools/api_manifest.py --cache build/wheels

bench: install
	$(BIN)/python benchmarks/run.py

clean:
	rm -rf build dist $(VENV) .pytest_cache
