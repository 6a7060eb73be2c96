# The two commands: `make run` and `make test`. Both install what is missing
# first (scripts/install-deps.sh), then configure and build.

BUILD      ?= build
BUILD_SAN  ?= build-sanitize
BUILD_TSAN ?= build-tsan
GENERATOR  := -G Ninja

.PHONY: run test bench deps build build-sanitize build-tsan

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

run: build
	cd $(BUILD) && app/sonaret

# The whole suite, then again under AddressSanitizer + UndefinedBehaviorSanitizer,
# and under ThreadSanitizer.
test: build build-sanitize build-tsan
	ctest --test-dir $(BUILD) --output-on-failure
	ctest --test-dir $(BUILD_SAN) --output-on-failure
	ctest --test-dir $(BUILD_TSAN) --output-on-failure

build-sanitize: deps
	cmake -S . -B $(BUILD_SAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DSONARET_SANITIZE=address,undefined
	cmake --build $(BUILD_SAN)

build-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DSONARET_SANITIZE=thread
	cmake --build $(BUILD_TSAN)

bench: build
	$(BUILD)/bench/bench_encode
	$(BUILD)/bench/bench_capture
