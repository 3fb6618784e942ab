# Thin wrapper over CMake.  Every entry point first installs the Debian
# packages it needs (once, only those that are missing).
BUILD    ?= build
JOBS     ?= $(shell nproc)
PACKAGES := cmake ninja-build g++ pkg-config python3 \
            libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
            gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
            libgtest-dev libbenchmark-dev libfftw3-dev valgrind
BENCH_PACKAGES := ffmpeg faad gstreamer1.0-libav gstreamer1.0-plugins-bad

.PHONY: all deps build demo test test-sanitize bench conformance clean

all: build

deps:
	@scripts/install-deps.sh $(PACKAGES)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

SAN_BUILD ?= build-san
SAN_PACKAGES := clang libclang-rt-14-dev

# The whole suite, then the same tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, separate build directory), plus one pass
# of every fuzz target over its corpus.  Tests labelled `nosan` (those that
# start external GStreamer processes, which cannot load an instrumented
# plug-in) run only in the first build.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-sanitize

test-sanitize: deps
	@scripts/install-deps.sh $(SAN_PACKAGES)
	@[ -f $(SAN_BUILD)/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_SANITIZE=ON -DVX_BUILD_FUZZ=ON -DVX_BUILD_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE nosan

bench: build
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	@scripts/bench.sh $(BUILD)

# Streams no one on this project made (a folder laid out like the shared
# conformance set: aac/, ct_decodercheck/, als/, latm/), each judged as its
# folder is; not part of `test`.  ALS_TOOL: the ALS reference decoder.
conformance: build
	@[ -n "$(SAMPLES)" ] || { echo "usage: make conformance SAMPLES=DIR [ALS_TOOL=PATH]"; exit 2; }
	@scripts/install-deps.sh ffmpeg
	@VX_ALS_TOOL="$(ALS_TOOL)" scripts/conformance.sh "$(SAMPLES)" $(BUILD)

clean:
	rm -rf $(BUILD) build-*
