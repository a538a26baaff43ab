# Quick start: `make demo` and `make test`. Both install the Debian packages they need
# when they are missing (tools/host/install-packages.sh says what it installs).
BUILD ?= build/host
SANITIZE_BUILD ?= build/sanitize
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build build-sanitize test demo mutate clean

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

# Every test, in the plain host build (which also builds and checks the release image)
# and again with AddressSanitizer and UndefinedBehaviorSanitizer.
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

clean:
	rm -rf build
