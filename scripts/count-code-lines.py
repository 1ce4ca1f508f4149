#!/usr/bin/env python3
"""Counts lines of code (neither blank nor comment-only) in the product (the
loader, its tools, the example kernel) and in everything that tests it, by
group, with all tests against all product code as one ratio.

    scripts/count-code-lines.py            the table
"""

import re
import subprocess
import sys
from pathlib import Path

# (group, path prefixes, is it product code)
GROUPS = [
    ("loader", ["arch/", "boot/", "crypto/", "diag/", "elf/", "firmware/", "mm/", "platform/",
                "uefi/", "include/"], True),
    ("tools", ["tools/"], True),
    ("example kernel", ["examples/"], True),
    ("handover oracle", ["tests/oracle/"], False),
    ("unit tests, fakes, fuzz targets", ["tests/unit/", "tests/fakes/", "tests/fuzz/",
                                         "tests/arch/"], False),
    ("test kernel", ["tests/kernel/"], False),
    ("end-to-end bench", ["tests/e2e/"], False),
    ("image, header and tool checks", ["tests/image/", "tests/header/", "tests/tools/"], False),
    ("test tooling (planted faults)", ["scripts/mutants.py"], False),
]
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp|S|py)$")


def code_lines(text, python):
    count = 0
    in_block = False
    for line in text.splitlines():
        stripped = line.strip()
        if python:
            if stripped and not stripped.startswith("#"):
                count += 1
            continue
        if in_block:
            if "*/" not in stripped:
                continue
            stripped = stripped.split("*/", 1)[1].strip()
            in_block = False
        while stripped.startswith("/*"):
            if "*/" in stripped:
                stripped = stripped.split("*/", 1)[1].strip()
            else:
                in_block = True
                stripped = ""
        if stripped and not stripped.startswith("//"):
            count += 1
    return count


def main():
    root = Path(__file__).resolve().parent.parent
    files = subprocess.run(["git", "ls-files"], cwd=root, capture_output=True, text=True,
                           check=True).stdout.split()
    totals = {True: 0, False: 0}
    for name, prefixes, product in GROUPS:
        total = 0
        for path in files:
            if SOURCE.search(path) and any(path.startswith(p) for p in prefixes):
                text = (root / path).read_text(errors="replace")
                total += code_lines(text, path.endswith(".py"))
        totals[product] += total
        print(f"{name:38} {total:6}")
    print(f"{'product code':38} {totals[True]:6}")
    print(f"{'all tests':38} {totals[False]:6}")
    if totals[True]:
        print(f"{'tests per product line':38} {totals[False] / totals[True]:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
