# make test: a virtual environment with everything the suite needs, the package built into it,
# and the suite run (on the CPU stand-ins when no GPU is usable) in each stream mode.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin

.PHONY: test install venv stubs bench clean

# The suite runs three times: on CuPy's legacy default stream, inside a non-blocking stream and on
# per-thread default streams (tests/conftest.py), so that work ordered only by the default stream's
# implicit synchronisation fails.
test: install
	$(BIN)/python -m pytest -q
	QUORVEX_TEST_STREAM=nonblocking $(BIN)/python -m pytest -q
	QUORVEX_TEST_STREAM=per-thread $(BIN)/python -m pytest -q

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

bench: install
	$(BIN)/python benchmarks/run.py

clean:
	rm -rf build dist $(VENV) .pytest_cache
