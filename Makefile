# The two commands a newcomer needs: `make demo` and `make test`.
BUILD   ?= build
TSAN    ?= build-tsan
WERROR  := $(if $(CI),ON,OFF)
CMAKE_FLAGS := -G Ninja -DZELKO_WERROR=$(WERROR)

.PHONY: all setup build test demo tsan fuzz bench clean

all: build

setup:
	@scripts/setup

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j2 --timeout 600

demo: build
	scripts/demo $(BUILD)

# ThreadSanitizer build; runs the concurrency tests only.
tsan: setup
	cmake -S . -B $(TSAN) $(CMAKE_FLAGS) -DZELKO_TSAN=ON
	cmake --build $(TSAN)
	cd $(TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -R Concurrency

# libFuzzer targets built with clang, each run for a bounded time (seconds, default 60).
fuzz: setup
	scripts/fuzz $(FUZZ_SECONDS)

bench: build
	scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD) $(TSAN)
