#!/usr/bin/env python3
"""Checks the loader image: importing nothing (no firmware resolves
imports); no instruction using x87 or vector state (U-Boot leaves CR4.OSFXSR
clear, so SSE raises #UD); one write to CR3, the handover's.

    check_image.py IMAGE
"""

import re
import subprocess
import sys

HEADERS = [r"ImportTableRVA: 0x0\s+ImportTableSize: 0x0", r"DelayImportDescriptorRVA: 0x0"]
# After any prefixes (taken whole, never given back to the mnemonic): an x87
# mnemonic (all begin with "f"; FWAIT may show as "wait"), a state-only one, or
# a vector or x87 register anywhere.
FORBIDDEN = re.compile(r"^(?:(?:lock|rep\w*|data16|addr32|notrack|[c-gs]s) )*+"
                       r"(?:f\w+|wait|f?emms|v?ldmxcsr|v?stmxcsr|vzero\w+)\b"
                       r"|%(?:[xyz]mm\d+|mm[0-7]|k[0-7]|st\b)")


def tool(name, *args):
    return subprocess.run([name, *args], capture_output=True, text=True, check=True).stdout


def main():
    image = sys.argv[1]
    headers = tool("llvm-readobj", "--file-headers", image)
    problems = [f"expected /{regex}/" for regex in HEADERS if not re.search(regex, headers)]
    listing = tool("llvm-objdump", "-d", "--no-show-raw-insn", image)
    code = [(address, " ".join(text.split())) for address, text in
            re.findall(r"^\s*([0-9a-f]+):\s+(\S.*)$", listing, re.M)]
    problems += [f"{address}: {text} uses x87, MMX, SSE or AVX state"
                 for address, text in code if FORBIDDEN.search(text)]
    writes = [text for _, text in code if text.endswith(", %cr3")]
    if writes != ["movq %rcx, %cr3"]:
        problems.append(f"expected one write to CR3, the handover's; found {writes}")
    print("\n".join(f"{image}: {problem}" for problem in problems)
          or f"{image}: no imports; {len(code)} instructions, none uses x87, MMX, SSE "
             "or AVX state")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
