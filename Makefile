# Entry points for people and CI. CMake does the building; this file only
# strings the steps together.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all prereqs configure build run test test-scale bench format clean

all: build

prereqs:
	@scripts/install-prereqs.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

configure: prereqs $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	python3 tests/e2e/run_scenario.py --run --build-dir $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --label-exclude scale

test-scale: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j 1 --label-regex scale

bench: build
	scripts/run-benchmarks.sh $(BUILD_DIR)

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
