#!/usr/bin/env python3
"""Checks the loader image's PE32+ headers: an EFI application for x86-64
that imports nothing and carries base relocations, so the firmware can load
it anywhere and it needs nothing but the system table it is given.

    check_pe_image.py IMAGE
"""

import re
import shutil
import subprocess
import sys


def readobj():
    for name in ("llvm-readobj", "llvm-readobj-14"):
        if shutil.which(name):
            return name
    sys.exit("llvm-readobj not found")


def main():
    image = sys.argv[1]
    text = subprocess.run([readobj(), "--file-headers", "--coff-imports", "--sections", image],
                          capture_output=True, text=True, check=True).stdout
    expectations = {
        "machine AMD64": r"Machine: IMAGE_FILE_MACHINE_AMD64 \(0x8664\)",
        "PE32+ header": r"Magic: 0x20B",
        "subsystem EFI application (10)": r"Subsystem: IMAGE_SUBSYSTEM_EFI_APPLICATION \(0xA\)",
        "no import table": r"ImportTableRVA: 0x0\s+ImportTableSize: 0x0",
        "no delay imports": r"DelayImportDescriptorRVA: 0x0",
        "relocatable": r"IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE",
        "a .reloc section": r"Name: \.reloc",
    }
    failures = [what for what, pattern in expectations.items() if not re.search(pattern, text)]
    if re.search(r"^\s*Import \{", text, re.MULTILINE):
        failures.append("no imported DLL")
    for failure in failures:
        print(f"{image}: expected {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
