#!/usr/bin/env python3
"""Counts lines of code (neither blank nor comment-only) in the loader and in
its tests, by group, for keeping the tests in proportion to the code.

    scripts/count-code-lines.py            the table
"""

import re
import subprocess
import sys
from pathlib import Path

GROUPS = [
    ("loader", ["arch/", "boot/", "crypto/", "diag/", "elf/", "firmware/", "mm/", "platform/",
                "uefi/", "include/"]),
    ("unit tests, fakes, fuzz targets", ["tests/unit/", "tests/fakes/", "tests/fuzz/", "tests/support/",
                                         "tests/arch/"]),
    ("test kernel", ["tests/kernel/"]),
    ("end-to-end bench", ["tests/e2e/"]),
    ("image, header and tool checks", ["tests/image/", "tests/header/", "tests/tools/"]),
    ("example kernel", ["examples/"]),
    ("tools", ["tools/"]),
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
    totals = {}
    for name, prefixes in GROUPS:
        total = 0
        for path in files:
            if SOURCE.search(path) and any(path.startswith(p) for p in prefixes):
                text = (root / path).read_text(errors="replace")
                total += code_lines(text, path.endswith(".py"))
        totals[name] = total
        print(f"{name:36} {total:6}")
    loader = totals["loader"]
    tests = totals["unit tests, fakes, fuzz targets"]
    if loader:
        print(f"{'unit tests per loader line':36} {tests / loader:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
