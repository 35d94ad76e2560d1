# make test: a virtual environment with everything the suite needs, the package built into it,
# and the suite run (on the CPU stand-ins when no GPU is usable).
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin

.PHONY: test install venv stubs bench clean

test: install
	$(BIN)/python -m pytest -q

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
