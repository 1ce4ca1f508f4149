#!/usr/bin/env python3
"""Builds the loader image again in a fresh folder elsewhere (cmake/efi-image
as the top-level build configures it) and compares the two byte for byte: a
signed image must be checkable against its sources.

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
            subprocess.run(command, capture_output=True, check=True)
        first, second = image.read_bytes(), (Path(folder) / "quillmor.efi").read_bytes()
    print(f"{image}: built again elsewhere, " + ("identical" if first == second else "different"))
    return 0 if first == second else 1


if __name__ == "__main__":
    sys.exit(main())
