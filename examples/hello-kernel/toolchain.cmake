# Cross toolchain for a freestanding x86-64 kernel: clang compiles for a bare
# ELF target (no operating system, no C library) and ld.lld links with the
# kernel's own linker script. Nothing from the host's libraries gets in.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(KERNEL_TARGET_TRIPLE x86_64-unknown-none-elf)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_CXX_COMPILER_TARGET ${KERNEL_TARGET_TRIPLE})
set(CMAKE_ASM_COMPILER_TARGET ${KERNEL_TARGET_TRIPLE})
# A Generic system does not pass the target to clang by itself.
set(CMAKE_CXX_FLAGS_INIT "--target=${KERNEL_TARGET_TRIPLE}")
set(CMAKE_ASM_FLAGS_INIT "--target=${KERNEL_TARGET_TRIPLE}")

# Link with ld.lld directly, so no compiler driver adds start files or libraries.
find_program(KERNEL_LD_LLD NAMES ld.lld ld.lld-16 ld.lld-15 ld.lld-14 REQUIRED)
set(CMAKE_CXX_LINK_EXECUTABLE
    "${KERNEL_LD_LLD} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
