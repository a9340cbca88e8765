# The two commands a newcomer needs: `make run` and `make test`.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure build run test test-fast format clean bench

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)/src/app/NorvaHB

# The whole suite: the normal build first, then the sanitizer builds.
test: build
	@scripts/test.sh $(BUILD)

# Only the normal build's tests.
test-fast: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Timing and cost figures of the real program (docs/PERFORMANCE.md), in a build folder of its
# own. Needs root, like the end-to-end suite (its own network namespaces and private bus), and
# about twelve minutes; not part of `make test`. MINUTES=N makes the heartbeat runs longer.
BENCH_BUILD ?= build-bench
MINUTES     ?= 3
bench: deps
	@[ "$$(id -u)" = 0 ] || { echo "make bench needs root: it creates network namespaces" \
	    "of its own (sudo make bench)"; exit 2; }
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target NorvaHB norva-device fake-login1
	@python3 bench/run.py --build $(BENCH_BUILD) --minutes $(MINUTES)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan
