#!/usr/bin/env python3
"""Disassembles the loader image and fails on any instruction that needs the
floating-point or vector state: an operand in an MMX, XMM, YMM, ZMM or
AVX-512 mask register, an x87 instruction, or one of the few SSE/AVX/MMX
instructions without a register operand. Firmware need not have enabled
that state (U-Boot leaves CR4.OSFXSR clear, so the first SSE instruction
raises #UD), and the loader must not disturb the firmware's.

    check_instruction_set.py IMAGE
"""

import re
import shutil
import subprocess
import sys

VECTOR_REGISTER = re.compile(r"%(?:[xyz]mm\d+|mm[0-7]|k[0-7]|st\b|st\(\d\))")
# x87 mnemonics all begin with "f" in AT&T syntax; FWAIT may appear as "wait".
X87 = re.compile(r"f[a-z0-9]+|wait")
STATE_ONLY = {"emms", "femms", "ldmxcsr", "stmxcsr", "vldmxcsr", "vstmxcsr", "vzeroupper",
              "vzeroall"}
PREFIXES = {"lock", "rep", "repe", "repz", "repne", "repnz", "data16", "addr32", "notrack",
            "cs", "ds", "es", "fs", "gs", "ss"}
# "  140001000:\tmovq\t%rsp, %rbp" with --no-show-raw-insn
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S.*)$")


def objdump():
    for name in ("llvm-objdump", "llvm-objdump-14"):
        if shutil.which(name):
            return name
    sys.exit("llvm-objdump not found")


def offenders(listing):
    """(address, instruction) of every instruction the loader must not use."""
    found = []
    for line in listing.splitlines():
        match = INSTRUCTION.match(line)
        if not match:
            continue
        words = match.group(2).split()
        while words and words[0] in PREFIXES:
            words.pop(0)
        if not words:
            continue
        mnemonic = words[0]
        if (VECTOR_REGISTER.search(match.group(2)) or X87.fullmatch(mnemonic)
                or mnemonic in STATE_ONLY):
            found.append((match.group(1), " ".join(match.group(2).split())))
    return found


def main():
    image = sys.argv[1]
    result = subprocess.run([objdump(), "-d", "--no-show-raw-insn", image],
                            capture_output=True, text=True, check=True)
    instructions = sum(1 for line in result.stdout.splitlines() if INSTRUCTION.match(line))
    if instructions < 100:
        print(f"{image}: only {instructions} instructions disassembled; is it the loader?")
        return 1
    bad = offenders(result.stdout)
    for address, text in bad:
        print(f"{image}: {address}: {text}")
    if bad:
        print(f"{len(bad)} instructions use x87, MMX, SSE or AVX state")
        return 1
    print(f"{instructions} instructions, none uses x87, MMX, SSE or AVX state")
    return 0


if __name__ == "__main__":
    sys.exit(main())
