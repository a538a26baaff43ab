# Quick start: `make demo` and `make test`. Both install the Debian packages they need
# when they are missing (tools/host/install-packages.sh says what it installs).
BUILD ?= build/host
SANITIZE_BUILD ?= build/sanitize
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build build-sanitize test demo fuzz bench mutate clean

all: build

deps:
	@tools/host/install-packages.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

$(SANITIZE_BUILD)/build.ninja: | deps
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_FLAGS) -DPELLORA_SANITIZE=ON -DPELLORA_RELEASE_IMAGE=OFF

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-sanitize: deps $(SANITIZE_BUILD)/build.ninja
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

# Every test, in the plain host build (which also builds and checks the release image, and
# runs the whole installations again under Wine: ctest label wine_e2e_tests) and again with
# AddressSanitizer and UndefinedBehaviorSanitizer.
test: build build-sanitize
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# Mutation testing of the stub (tools/mutate/): every stub source, or MUTATE_FILES="stub/x/y.cpp ...".
# Builds in its own copy under build/mutate; the report is also kept in build/mutate/report.txt.
MUTATE_FILES ?=
mutate: deps
	tools/mutate/mutate.py --jobs $(JOBS) $(MUTATE_FILES)

demo: build
	@tools/demo/run-demo.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS each (`make test` runs them for 20-30 s each).
FUZZ_SECONDS ?= 60
fuzz: build
	@tests/fuzz/run-fuzzers $(BUILD) $(FUZZ_SECONDS)

# The release-size payload: unpack time against dd + cabextract and cp, peak memory, the
# cabinet stand-in against cabextract, image bytes outside .rsrc. Medians of BENCH_RUNS.
BENCH_RUNS ?= 5
bench: build
	$(BUILD)/bench/release_size_bench --build $(BUILD) --source . --runs $(BENCH_RUNS)

clean:
	rm -rf build
