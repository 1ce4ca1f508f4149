#!/usr/bin/env python3
"""Checks the loader image as firmware gets it: a PE32+ EFI application for
x86-64 that imports nothing and can be loaded anywhere; no instruction that
needs the x87 or vector state (U-Boot leaves CR4.OSFXSR clear, so the first
SSE instruction raises #UD; nor may the loader disturb the firmware's state);
and one write to CR3, followed by exactly what the kernel entry convention
needs, so that nothing can touch memory the new tables leave unmapped:
      mov %rcx, %cr3   the page-table root (first argument, Microsoft x64)
      mov %rdx, %rdi   the handoff pointer, the kernel's first argument
      and $-16, %rsp   RSP 16-byte aligned at the kernel's first instruction
      jmp *%r8         the entry point; no return address is pushed

    check_image.py IMAGE
"""

import re
import subprocess
import sys

HEADERS = {
    "machine AMD64": r"Machine: IMAGE_FILE_MACHINE_AMD64 \(0x8664\)",
    "PE32+ header": r"Magic: 0x20B",
    "subsystem EFI application (10)": r"Subsystem: IMAGE_SUBSYSTEM_EFI_APPLICATION \(0xA\)",
    "no import table": r"ImportTableRVA: 0x0\s+ImportTableSize: 0x0",
    "no delay imports": r"DelayImportDescriptorRVA: 0x0",
    "relocatable": r"IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE",
    "a .reloc section": r"Name: \.reloc",
}
# After any prefixes (taken whole, never given back to the mnemonic): an x87
# mnemonic (all begin with "f"; FWAIT may show as "wait"), a state-only one, or
# a vector or x87 register anywhere.
FORBIDDEN = re.compile(r"^(?:(?:lock|rep\w*|data16|addr32|notrack|[c-gs]s) )*+"
                       r"(?:f\w+|wait|f?emms|v?ldmxcsr|v?stmxcsr|vzero\w+)\b"
                       r"|%(?:[xyz]mm\d+|mm[0-7]|k[0-7]|st\b)")
HANDOVER = ["movq %rcx, %cr3", "movq %rdx, %rdi", "andq $-16, %rsp", "jmpq *%r8"]


def tool(name, *args):
    return subprocess.run([name, *args], capture_output=True, text=True, check=True).stdout


def main():
    image = sys.argv[1]
    headers = tool("llvm-readobj", "--file-headers", "--sections", image)
    problems = [f"expected {what}" for what, regex in HEADERS.items()
                if not re.search(regex, headers)]
    listing = tool("llvm-objdump", "-d", "--no-show-raw-insn", image)
    code = [(address, " ".join(text.split())) for address, text in
            re.findall(r"^\s*([0-9a-f]+):\s+(\S.*)$", listing, re.M)]
    if len(code) < 100:
        problems.append(f"only {len(code)} instructions disassembled; is it the loader?")
    problems += [f"{address}: {text} uses x87, MMX, SSE or AVX state"
                 for address, text in code if FORBIDDEN.search(text)]
    writes = [i for i, (_, text) in enumerate(code) if text.endswith(", %cr3")]
    if len(writes) != 1:
        problems.append(f"expected exactly one write to CR3, found {len(writes)}")
    elif [text for _, text in code[writes[0]:writes[0] + 4]] != HANDOVER:
        problems.append(f"the handover is {code[writes[0]:writes[0] + 4]}, not {HANDOVER}")
    print("\n".join(f"{image}: {problem}" for problem in problems)
          or f"{image}: PE32+ EFI application; {len(code)} instructions, none uses x87, MMX, SSE "
             f"or AVX state; the handover is {'; '.join(HANDOVER)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
