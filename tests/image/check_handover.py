#!/usr/bin/env python3
"""Checks the handover as the image holds it: exactly one instruction in the
loader writes CR3, and it is followed by exactly the three the kernel entry
convention needs, with nothing in between that could touch memory the new
tables leave unmapped:

    mov %rcx, %cr3        the page-table root (first argument, Microsoft x64)
    mov %rdx, %rdi        the handoff pointer, the kernel's first argument
    and $-16, %rsp        RSP 16-byte aligned at the kernel's first instruction
    jmp *%r8              the entry point; no return address is pushed

    check_handover.py IMAGE
"""

import re
import shutil
import subprocess
import sys

EXPECTED = [("movq", "%rcx, %cr3"), ("movq", "%rdx, %rdi"), ("andq", "$-16, %rsp"),
            ("jmpq", "*%r8")]
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")


def main():
    objdump = next((n for n in ("llvm-objdump", "llvm-objdump-14") if shutil.which(n)), None)
    if objdump is None:
        sys.exit("llvm-objdump not found")
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", sys.argv[1]],
                             capture_output=True, text=True, check=True).stdout
    instructions = [(m.group(2), " ".join(m.group(3).split()))
                    for m in map(INSTRUCTION.match, listing.splitlines()) if m]
    writes = [i for i, (_, operands) in enumerate(instructions)
              if re.search(r",\s*%cr3$", operands)]
    if len(writes) != 1:
        print(f"expected exactly one write to CR3, found {len(writes)}")
        return 1
    found = instructions[writes[0]:writes[0] + len(EXPECTED)]
    if found != EXPECTED:
        print("the handover is not the expected sequence:")
        for (mnemonic, operands), want in zip(found, EXPECTED):
            print(f"  {mnemonic} {operands}   (expected {want[0]} {want[1]})")
        return 1
    print("handover: " + "; ".join(f"{m} {o}" for m, o in found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
