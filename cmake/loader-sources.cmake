# The loader's logic, compiled into the EFI image and, unchanged, into the
# host build that the unit tests and benchmarks run.
set(QUILLMOR_LOADER_SOURCES
    boot/boot_sequence.cpp
    boot/command_line.cpp
    boot/efi_main.cpp
    boot/extension_block.cpp
    boot/handoff_record.cpp
    boot/handover.cpp
    boot/image_seal.cpp
    boot/kernel_stage.cpp
    uefi/loader_globals.cpp
    firmware/open_protocol.cpp
    boot/platform_facts.cpp
    boot/region_stage.cpp
    crypto/sha256.cpp
    diag/check_failure.cpp
    diag/checked.cpp
    diag/fatal_stop.cpp
    diag/halt.cpp
    diag/number_format.cpp
    diag/serial.cpp
    diag/utf8.cpp
    elf/kernel_image.cpp
    firmware/allocator.cpp
    firmware/file_reader.cpp
    firmware/memory_map.cpp
    firmware/page_ledger.cpp
    firmware/secure_boot.cpp
    mm/handover_pages.cpp
    mm/kernel_direct_map_overlap.cpp
    mm/leaf_stores.cpp
    mm/page_table_builder.cpp
    mm/processor_view.cpp
    mm/region_table.cpp
    mm/table_page_pool.cpp
    platform/framebuffer.cpp)

# The processor side of the arch layer; host builds link fakes instead.
set(QUILLMOR_ARCH_SOURCES
    arch/x86_64/cpu.cpp
    arch/x86_64/cpuid.cpp
    arch/x86_64/enter_kernel.S
    arch/x86_64/memory.cpp)

set(QUILLMOR_COMMON_FLAGS -std=c++20 -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion
    -fno-strict-aliasing)

# How the image's code is generated, its target aside. The host benchmark
# compiles the loader with exactly these, so it times the code the image runs:
# no vector registers, the loader's own loops.
set(QUILLMOR_IMAGE_CODE_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-stack-protector
    -mno-red-zone -mno-stack-arg-probe -mgeneral-regs-only -fshort-wchar -fno-threadsafe-statics
    -O2)
