"""quillmor-check and quillmor-seal against one table of cases (arguments, exit
status, texts the output must hold or lack): each rejection with its name and
the loader's own log line, the direct map's warning, ramdisks, usage, and what
the seal refuses. Then the plan of each accepted kernel against its program
headers, and the seal's bytes and PE checksum in the sealed image.

    python3 quillmor_check_test.py TOOL SEAL_TOOL LOADER KERNEL [KERNEL...]

Every KERNEL must be one the loader accepts.
"""

import hashlib
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from judge import plan  # noqa: E402
from scenarios import LINK_BASE, REJECTED, crafted_kernel  # noqa: E402

CHECK, SEAL, LOADER, *KERNELS = sys.argv[1:]
DIRECT_MAP_WARNING = "内核链接地址与直接映射重叠"
scratch = tempfile.TemporaryDirectory(prefix="quillmor-check-test-")  # removed at exit
folder = Path(scratch.name)
failures = []


def file(name, data):
    (folder / name).write_bytes(data)
    return folder / name


def run(tool, *args):
    result = subprocess.run([tool, *map(str, args)], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def expect(held, what, output=""):
    if not held:
        failures.append(f"{what}\n{output}")


RAMDISK, EMPTY = file("initrd", bytes(range(256)) * 41), file("empty", b"")
KERNEL, SEALED = KERNELS[0], folder / "sealed.efi"
SEALING = ("-o", SEALED, "--kernel")
signed = bytearray(Path(LOADER).read_bytes())  # a certificate table, as sbsign adds it
struct.pack_into("<II", signed, struct.unpack_from("<I", signed, 0x3C)[0] + 24 + 144,
                 len(signed), 8)
CASES = [  # (tool, arguments, exit status, texts the output holds, texts it lacks)
    *[(CHECK, [file(name, data)], 10 + list(REJECTED).index(name),
       [f": rejected: {name}\n", f"[quillmor] 内核映像不合规：{name}\n", "\n  cause: ", "\n  hint:  "],
       []) for name, data in REJECTED.items()],
    *[(CHECK, [file(f"{base:x}.elf", crafted_kernel(base))], 0, [DIRECT_MAP_WARNING] * warned,
       [DIRECT_MAP_WARNING] * (not warned))
      for base, warned in ((0xFFFF800000000000, True), (0xFFFF8FFFFFFFF000, True),
                           (0xFFFF900000000000, False), (LINK_BASE, False))],
    (CHECK, [KERNEL, "--ramdisk", file("r", bytes(10000))], 0,
     ['10000 bytes, handed over as module "initrd"', "ramdisk 3,"], []),
    (CHECK, [KERNEL, "--ramdisk", EMPTY], 2, ["文件为空"], []),
    (CHECK, [KERNEL, "--ramdisk", "/nonexistent"], 2, [], []),
    (CHECK, [EMPTY], 3, ["装载失败：文件为空"], []),
    (CHECK, [], 1, ["usage"], []),
    (CHECK, [KERNEL, KERNEL], 1, ["usage"], []),
    (SEAL, [file("signed.efi", signed), *SEALING, KERNEL, "--initrd", RAMDISK], 5,
     ["seal the unsigned loader first, then sign"], []),
    (SEAL, [LOADER, *SEALING, file("bad.elf", REJECTED["NotElf64"]), "--initrd", RAMDISK], 10,
     ["rejected: NotElf64"], []),
    (SEAL, [LOADER, *SEALING, KERNEL, "--initrd", EMPTY], 2, ["文件为空"], []),
]
for tool, arguments, status, holds, lacks in CASES:
    code, output = run(tool, *arguments)
    case = f"{Path(tool).name} {' '.join(map(str, arguments))}"
    expect(code == status, f"{case}: exit status {code}, not {status}", output)
    for text in holds:
        expect(text in output, f"{case}: no {text!r}", output)
    for text in lacks:
        expect(text not in output, f"{case}: {text!r}", output)

for kernel in KERNELS:  # the plan quillmor-check shows, from the program headers
    entry, segments, base, end = plan(Path(kernel).read_bytes())
    code, output = run(CHECK, kernel)
    shown = re.findall(r"^  (?:entry point|virtual base|virtual end) +(0x[0-9a-f]+)$", output, re.M)
    expect(code == 0 and [int(value, 16) for value in shown] == [entry, base, end]
           and f"  segments        {segments} loadable" in output
           and f"  landing area    {(end - base + 4095) // 4096} pages" in output,
           f"{kernel}: not the plan {entry:#x} {base:#x}-{end:#x} in {segments}", output)

# The seal: its 4 KiB section, empty in the loader, holds the magic, the
# version, the flags and the files' digests; nothing else changes but the PE
# checksum, which stays right.
loader, kernel = Path(LOADER).read_bytes(), Path(KERNEL).read_bytes()
pe = struct.unpack_from("<I", loader, 0x3C)[0]
count, optional_size = (struct.unpack_from("<H", loader, pe + offset)[0] for offset in (6, 20))
sections = pe + 24 + optional_size
seal_at = next(struct.unpack_from("<I", loader, header + 20)[0]
               for header in range(sections, sections + 40 * count, 40)
               if loader[header:header + 8] == b".qseal\0\0")
checksum_at = pe + 24 + 64
expect(loader[seal_at:seal_at + 4096] == bytes(4096), "the loader's seal section is not empty")
line = file("cmdline.txt", "root=/dev/quill 名字\n".encode())
for flags, extra, digested in ((3, [], [kernel, RAMDISK.read_bytes()]),
                               (7, ["--cmdline", line], [kernel, RAMDISK.read_bytes(),
                                                         line.read_bytes()])):
    code, output = run(SEAL, LOADER, *SEALING, KERNEL, "--initrd", RAMDISK, *extra)
    sealed = SEALED.read_bytes()
    seal = b"QMORSEAL" + struct.pack("<II", 1, flags) + b"".join(
        hashlib.sha256(data).digest() for data in digested)
    expect(code == 0 and sealed[seal_at:seal_at + 4096] == seal + bytes(4096 - len(seal)),
           f"the seal with flags {flags} is not its digests", output)
    expect(all(seal_at <= i < seal_at + 4096 or checksum_at <= i < checksum_at + 4
               for i in range(len(loader)) if loader[i] != sealed[i]),
           "sealing changed bytes outside the seal and the checksum")
    words = sealed[:checksum_at] + bytes(4) + sealed[checksum_at + 4:] + bytes(len(sealed) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", words):  # 16-bit sums with end-around carry
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    expect(struct.unpack_from("<I", sealed, checksum_at)[0] == total + len(sealed),
           "the PE checksum of the sealed image is wrong")

print("\n".join(failures) or f"{len(CASES)} cases, {len(KERNELS)} plans and the seal as expected")
sys.exit(1 if failures else 0)
