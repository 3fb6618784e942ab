# Thin wrapper over CMake.  Every entry point first installs the Debian
# packages it needs (once, only those that are missing).
BUILD    ?= build
JOBS     ?= $(shell nproc)
PACKAGES := cmake ninja-build g++ pkg-config python3 \
            libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
            gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
            libgtest-dev libbenchmark-dev libfftw3-dev
BENCH_PACKAGES := ffmpeg faad gstreamer1.0-libav gstreamer1.0-plugins-bad

.PHONY: all deps build demo test bench clean

all: build

deps:
	@scripts/install-deps.sh $(PACKAGES)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	@scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-*
