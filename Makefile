# Short commands for a newcomer; everything real is in CMakeLists.txt.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build test demo bench clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Configure, build and run the whole suite.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A real update and rollback on a self-contained test machine.
demo: build
	$(BUILD)/orvpatch-demo

bench: build
	bench/run $(BUILD)

clean:
	rm -rf $(BUILD)
