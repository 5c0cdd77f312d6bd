# The two commands of the README. Each does its own set-up on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
EXAMPLE_DIR ?= $(BUILD_DIR)/example-run

.PHONY: run test build deps clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	@scripts/run-example.sh $(BUILD_DIR) $(EXAMPLE_DIR)

clean:
	rm -rf $(BUILD_DIR)
