# Everything starts from a bare checkout: the first target that needs the
# virtual environment creates it, installs the pinned dependencies and builds.

PYTHON3 ?= python3
# The board builds with its own interpreter and pins: see README.
REQUIREMENTS ?= requirements.txt
VENV    := .venv
PY      := $(VENV)/bin/python
DEPS    := $(VENV)/.deps-installed
BUILD   ?= build/release
# Limits a build to some modules, e.g. TARGETS="kx_logger kx_container".
TARGETS ?=
SANBUILD := build/sanitize
CMAKE   := $(VENV)/bin/cmake
# The board's interpreter, for `make test-py37`.
PYTHON37 ?= python3.7
VENV37  := .venv37
DEPS37  := $(VENV37)/.deps-installed
BUILD37 := build/py37

.PHONY: all build demo test test-py37 sanitize bench clean

all: build

$(DEPS): $(REQUIREMENTS)
	$(PYTHON3) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r $(REQUIREMENTS)
	touch $@

$(DEPS37): requirements-py37.txt
	$(PYTHON37) -m venv $(VENV37)
	$(VENV37)/bin/python -m pip install --quiet --upgrade pip
	$(VENV37)/bin/python -m pip install --quiet -r requirements-py37.txt
	touch $@

# $(1): build directory, $(2): extra CMake arguments
define cmake_build
	$(CMAKE) -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DPython_EXECUTABLE=$(abspath $(PY)) \
		-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) $(2) > /dev/null
	$(CMAKE) --build $(1) $(if $(TARGETS),--target $(TARGETS))
endef

build: $(DEPS)
	$(call cmake_build,$(BUILD),)

demo: build
	$(PY) demo/demo.py

test: build
	$(PY) -m pytest -q

# The suite on a local Python 3.7 with a virtual environment and build
# directory of its own; the modules' file names carry the interpreter tag, so
# they sit in libs/ beside those of the everyday build.
test-py37: VENV := $(VENV37)
test-py37: PY := $(VENV37)/bin/python
test-py37: CMAKE := $(VENV37)/bin/cmake
test-py37: $(DEPS37)
	$(call cmake_build,$(BUILD37),)
	$(PY) -m pytest -q

# The sanitized modules replace the normal ones in libs/ while the tests run;
# removing them afterwards makes the next build put the normal ones back.
sanitize: $(DEPS)
	rm -f libs/*.so libs/usbcam_reset
	$(call cmake_build,$(SANBUILD),-DKX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	KX_SANITIZED=1 $(PY) -m pytest -q -p no:cacheprovider; \
	status=$$?; rm -f libs/*.so libs/usbcam_reset; $(MAKE) --no-print-directory build; exit $$status

bench: build
	$(PY) bench/bench_container.py
	$(PY) bench/bench_basler.py

clean:
	rm -rf build libs/*.so libs/usbcam_reset
