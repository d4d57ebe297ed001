# `make demo` and `make test` each make .venv, install the package into it, and run.
# The newest python3.1x that runs here, from PATH or from pyenv's installed versions.
PYTHON ?= $(shell for v in 3.19 3.18 3.17 3.16 3.15 3.14 3.13 3.12 3.11; do \
	for p in $$(command -v python$$v) $$(ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/$$v*/bin/python$$v 2>/dev/null | sort -rV); do \
	  $$p -c '' 2>/dev/null && { echo $$p; exit; }; done; done)
VENV := .venv
PY := $(VENV)/bin/python
PIPQ ?= -q

.PHONY: demo test bench dev clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install $(PIPQ) --upgrade pip

install-%: $(PY)
	$(PY) -m pip install $(PIPQ) ".[$*]"

demo: install-demo
	$(PY) -m kovani_bci.cli demo

test: install-test
	$(PY) -m pytest -q $(PYTEST_ARGS)

bench: install-test
	$(PY) -m bench

# Fast loop while developing: build the extensions into build/dev and drop them next to
# the Python sources; run with PYTHONPATH=src.
dev: $(PY)
	$(PY) -m pip install $(PIPQ) nanobind scikit-build-core "jax[cpu]" numpy pytest hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/dev
	cp build/dev/learning*.so build/dev/inference*.so src/kovani_bci/models/kovani_softmax/

clean:
	rm -rf build $(VENV) src/kovani_bci/models/kovani_softmax/*.so
