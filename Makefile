# Short commands for a newcomer; everything real is in CMakeLists.txt.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: all setup build test demo bench crash-test fuzz fuzz-build reliability-report clean

all: build

# `make test` and `make demo` first install the Debian packages that are
# missing (tools/setup): the demonstration the build tools, the suite those
# and its own. SETUP=no skips it.
SETUP ?= yes
SETUP_FOR := $(if $(filter test,$(MAKECMDGOALS)),test,$(if $(filter demo,$(MAKECMDGOALS)),demo))

setup:
ifneq ($(SETUP),no)
ifneq ($(SETUP_FOR),)
	tools/setup $(SETUP_FOR)
endif
endif

# Configured only once the tools are there.
$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Configure, build and run the whole suite.
test: setup build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A real update and rollback on a self-contained test machine; builds only
# what the demonstration runs.
demo: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target demo

# Every kill point of the crash campaign (several minutes); the CTest suite
# tries every fifth. Results in $(BUILD)/campaigns/crash.tsv.
crash-test: setup build
	$(BUILD)/crash-campaign --quiet

bench: build
	bench/run $(BUILD)

# The libFuzzer targets (Clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in a build folder of their own.
$(FUZZ_BUILD)/build.ninja:
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	    -DORVPATCH_FUZZ=ON -DORVPATCH_TESTS=OFF

fuzz-build: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz-targets

# Every fuzz target for FUZZ_SECONDS (ten minutes), two at a time.
fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Runs the hostile-input and failing-file-system campaigns, then writes
# docs/RELIABILITY.md from every campaign's output (fuzzing and crash
# campaign results are taken as the last `make fuzz` and `make crash-test`
# left them). A failing case is recorded in the report, not a stop.
reliability-report: build
	-cd $(BUILD) && ctest -R 'HostileInput|FailingFileSystem' -j $(JOBS)
	tools/reliability-report $(BUILD) $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
