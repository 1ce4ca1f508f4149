#!/usr/bin/env python3
"""Builds the loader image a second time, from the same sources in a fresh
build folder elsewhere (cmake/efi-image configured as the top-level build does
it), and compares it byte for byte with the first: the same sources must give
the same image whoever builds it and wherever, so a signed image can be
checked against its sources.

    check_reproducible.py SOURCE_ROOT IMAGE GENERATOR
"""

import subprocess
import sys
import tempfile
from pathlib import Path


def main():
    root, image, generator = Path(sys.argv[1]).resolve(), Path(sys.argv[2]), sys.argv[3]
    with tempfile.TemporaryDirectory(prefix="quillmor-rebuild-") as folder:
        build = Path(folder) / "build"
        for command in (["cmake", "-S", root / "cmake/efi-image", "-B", build, "-G", generator,
                         f"-DCMAKE_TOOLCHAIN_FILE={root / 'cmake/toolchain-efi.cmake'}",
                         "-DCMAKE_BUILD_TYPE=Release", f"-DQUILLMOR_ROOT={root}",
                         f"-DQUILLMOR_OUTPUT_DIR={folder}"],
                        ["cmake", "--build", build, "--target", "quillmor"]):
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                print(f"the second build failed: {command}\n{done.stdout}{done.stderr}")
                return 1
        first, second = image.read_bytes(), (Path(folder) / "quillmor.efi").read_bytes()
    print(f"{image}: built again elsewhere, " + ("identical" if first == second else "different"))
    return 0 if first == second else 1


if __name__ == "__main__":
    sys.exit(main())
