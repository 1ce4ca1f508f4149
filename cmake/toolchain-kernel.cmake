# Cross toolchain for the freestanding test kernel: a static ELF64 image for
# x86-64, linked by ld.lld with the kernel's own linker script.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_COMPILER clang)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-none-elf)
set(CMAKE_ASM_COMPILER_TARGET x86_64-unknown-none-elf)
# A Generic system does not pass the target on by itself.
set(CMAKE_C_FLAGS_INIT "--target=x86_64-unknown-none-elf")
set(CMAKE_ASM_FLAGS_INIT "--target=x86_64-unknown-none-elf")

find_program(QUILLMOR_LD_LLD NAMES ld.lld ld.lld-14 REQUIRED)
set(CMAKE_C_LINK_EXECUTABLE "${QUILLMOR_LD_LLD} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
