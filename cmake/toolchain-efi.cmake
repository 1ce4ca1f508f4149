# Cross toolchain for the loader image: clang++ emitting COFF objects for
# x86-64 Windows conventions, linked by lld-link into a PE32+ EFI application.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_ASM_COMPILER_TARGET x86_64-unknown-windows)
# A Generic system does not pass the target on by itself.
set(CMAKE_C_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_ASM_FLAGS_INIT "--target=x86_64-unknown-windows")

find_program(QUILLMOR_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(CMAKE_CXX_LINK_EXECUTABLE
    "${QUILLMOR_LLD_LINK} <LINK_FLAGS> <OBJECTS> -out:<TARGET> <LINK_LIBRARIES>")
set(CMAKE_EXECUTABLE_SUFFIX_CXX .efi)
set(CMAKE_EXECUTABLE_SUFFIX .efi)

# Clang for a Windows target passes as MSVC-like, and CMake then asks it for no
# dependency files: without these, a changed header would not rebuild the image.
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_DEPFILE_FLAGS_ASM "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
