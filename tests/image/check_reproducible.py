#!/usr/bin/env python3
"""Builds the loader image a second time, from the same sources in a fresh
build folder elsewhere, and compares it byte for byte with the first: the
same sources must give the same image whoever builds it and wherever, so a
signed image can be checked against its sources.

    check_reproducible.py SOURCE_ROOT IMAGE [GENERATOR]
"""

import subprocess
import sys
import tempfile
from pathlib import Path


def build_again(root, folder, generator):
    """Configures cmake/efi-image as the top-level build does and builds only
    the loader; returns the new image."""
    output = folder / "out"
    subprocess.run(["cmake", "-S", root / "cmake/efi-image", "-B", folder / "build",
                    "-G", generator,
                    f"-DCMAKE_TOOLCHAIN_FILE={root / 'cmake/toolchain-efi.cmake'}",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DQUILLMOR_ROOT={root}",
                    f"-DQUILLMOR_OUTPUT_DIR={output}"],
                   check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", folder / "build", "--target", "quillmor"],
                   check=True, capture_output=True, text=True)
    return (output / "quillmor.efi").read_bytes()


def main():
    root, image = Path(sys.argv[1]).resolve(), Path(sys.argv[2])
    generator = sys.argv[3] if len(sys.argv) > 3 else "Ninja"
    first = image.read_bytes()
    with tempfile.TemporaryDirectory(prefix="quillmor-rebuild-") as folder:
        try:
            second = build_again(root, Path(folder), generator)
        except subprocess.CalledProcessError as error:
            print(f"the second build failed: {' '.join(map(str, error.cmd))}\n"
                  f"{error.stdout}{error.stderr}")
            return 1
    if first == second:
        print(f"{image}: {len(first)} bytes, identical when built again elsewhere")
        return 0
    differing = [i for i in range(min(len(first), len(second))) if first[i] != second[i]]
    print(f"{image}: {len(first)} bytes, built again elsewhere: {len(second)} bytes; "
          f"{len(differing)} bytes differ in the common length"
          + (f", the first at offset {differing[0]:#x}" if differing else ""))
    return 1


if __name__ == "__main__":
    sys.exit(main())
