# The commands of the README. Each does its own set-up on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
EXAMPLE_DIR ?= $(BUILD_DIR)/example-run

.PHONY: run test build deps clean validate bench

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	@scripts/run-example.sh $(BUILD_DIR) $(EXAMPLE_DIR)

# The validation cases at full resolution; the report goes to $(VALIDATE_DIR).
VALIDATE_DIR ?= $(BUILD_DIR)/validation-report
validate: build
	$(BUILD_DIR)/vestra validate -o $(VALIDATE_DIR)

# The kernel benchmarks (Google Benchmark); BENCH_ARGS passes options, e.g.
# BENCH_ARGS='--benchmark_filter=peer'. Whole runs: bench/throughput.sh.
BENCH_ARGS ?=
bench: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target vestra_bench
	$(BUILD_DIR)/bench/vestra_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR)
