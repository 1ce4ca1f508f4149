# Entry points for people and CI. CMake does the building; this file only
# strings the steps together.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# What `make run` boots and `make image` puts on the disk: by default the
# example kernel from examples/hello-kernel and its ramdisk.
KERNEL ?= $(BUILD_DIR)/example-kernel.elf
INITRD ?= $(BUILD_DIR)/initrd.ustar
IMAGE ?= $(BUILD_DIR)/quillmor.img
# SEAL=1: `make image` puts a loader sealed with KERNEL and INITRD on the disk.
SEAL ?= 0
LOADER = $(if $(filter 1,$(SEAL)),$(BUILD_DIR)/quillmor-sealed.efi,$(BUILD_DIR)/quillmor.efi)

.PHONY: all prereqs configure build run image test test-scale bench fuzz format clean

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
	python3 tests/e2e/run_scenario.py --run --build-dir $(BUILD_DIR) --kernel $(KERNEL) \
	        --initrd $(INITRD)

# A kernel the loader would refuse, or an empty ramdisk, is refused here with
# quillmor-check's message rather than written into an image that stops at boot.
image: build
	@verdict=$$($(BUILD_DIR)/quillmor-check $(KERNEL) --ramdisk $(INITRD) 2>&1) || \
	    { echo "$$verdict" >&2; echo "make image: refused; $(IMAGE) not written" >&2; exit 1; }
ifeq ($(SEAL),1)
	$(BUILD_DIR)/quillmor-seal $(BUILD_DIR)/quillmor.efi --kernel $(KERNEL) --initrd $(INITRD) \
	        -o $(LOADER)
endif
	scripts/make-disk-image.sh $(IMAGE) $(LOADER) $(KERNEL) $(INITRD)
	@echo "$(IMAGE): GPT disk, EFI system partition with the loader$(if $(filter 1,$(SEAL)), (sealed),), $(KERNEL) and $(INITRD)"

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --label-exclude scale

test-scale: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j 1 --label-regex scale

bench: build
	scripts/run-benchmarks.sh $(BUILD_DIR)

# Each fuzz target for FUZZ_SECONDS, its corpus kept in $(BUILD_DIR)/fuzz-corpus.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= kernel_image region_table page_tables utf8 sha256
fuzz: build
	@for target in $(FUZZ_TARGETS); do \
	    corpus=$(BUILD_DIR)/fuzz-corpus/$$target; mkdir -p $$corpus; \
	    [ $$target != kernel_image ] || cp $(BUILD_DIR)/test-kernel.elf $$corpus/; \
	    seeds=tests/fuzz/seeds/$$target; [ -d $$seeds ] || seeds=; \
	    echo "== $$target, $(FUZZ_SECONDS) s"; \
	    $(BUILD_DIR)/tests/fuzz/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	        -timeout=30 -print_final_stats=1 -artifact_prefix=$$corpus- $$corpus $$seeds || exit 1; \
	done

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
