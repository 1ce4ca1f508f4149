"""quillmor-check and quillmor-seal against one table of cases (arguments, exit
status, texts the output must hold): one for each exit status, and the direct
map's warning at its edges (no other case warns). Then the seal: its bytes,
and nothing else changed but the PE checksum.

    python3 quillmor_check_test.py TOOL SEAL_TOOL LOADER
"""

import hashlib
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

CHECK, SEAL, LOADER = sys.argv[1:]
BASE = 0xFFFFFFFF80000000
DIRECT_MAP_WARNING = "内核链接地址与直接映射重叠"
scratch = tempfile.TemporaryDirectory(prefix="quillmor-check-test-")  # removed at exit
failures = []


def elf(pages, base=BASE, entry=BASE + 8):
    """An ELF64 x86-64 executable of `pages` one-page segments of 8 file bytes
    each, in 64-byte program-header slots (a reader must honour the stride)."""
    header = b"\x7fELF\2\1\1" + bytes(9) + struct.pack(
        "<HHIQQQIHHHHHH", 2, 62, 1, entry, 64, 0, 0, 64, 64, pages, 0, 0, 0)
    return header + b"".join(struct.pack("<IIQQQQQQ8x", 1, 7, 64 + 64 * pages + 8 * i,
                                         base + 4096 * i, 0, 8, 4096, 4096)
                             for i in range(pages)) + b"\xf4" * 8 * pages


def patched(data, offset, form, value):
    data = bytearray(data)
    struct.pack_into(form, data, offset, value)
    return bytes(data)


def file(name, data):
    (Path(scratch.name) / name).write_bytes(data)
    return Path(scratch.name) / name


def run(tool, *args):
    result = subprocess.run([tool, *map(str, args)], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


# Each rejection's name and a file that earns it, in the order of the exit
# statuses (from 10).
REJECTED = {
    "NotElf64": patched(elf(2), 4, "B", 1),
    "NotX86_64": patched(elf(2), 18, "<H", 183),
    "NotExecutable": patched(elf(2), 16, "<H", 3),
    "BadHeader": elf(2, entry=BASE + 2 * 4096),  # the entry just past the image
    "SegmentOutOfFile": elf(2)[:-1],
    "TooManySegments": elf(9),
    "EmptyImage": patched(elf(1), 64, "<I", 4),  # a note
}
KERNEL, RAMDISK, EMPTY = file("kernel.elf", elf(2)), file("initrd", bytes(10000)), file("e", b"")
SEALED = Path(scratch.name) / "sealed.efi"
signed = bytearray(Path(LOADER).read_bytes())  # a certificate table, as sbsign adds it
struct.pack_into("<II", signed, struct.unpack_from("<I", signed, 0x3C)[0] + 24 + 144,
                 len(signed), 8)
CASES = [  # (tool, arguments, exit status, texts the output holds)
    *[(CHECK, [file(name, data)], 10 + list(REJECTED).index(name),
       [f": rejected: {name}\n", f"[quillmor] 内核映像不合规：{name}\n", "\n  cause: ", "\n  hint:  "])
      for name, data in REJECTED.items()],
    (CHECK, [KERNEL, "--ramdisk", RAMDISK], 0,
     ["  entry point     0xffffffff80000008\n", "  virtual base    0xffffffff80000000\n",
      "  virtual end     0xffffffff80002000\n", "  segments        2 loadable",
      "  landing area    2 pages", '10000 bytes, handed over as module "initrd"', "ramdisk 3,"]),
    *[(CHECK, [file(f"{base:x}.elf", elf(1, base, base))], 0, [DIRECT_MAP_WARNING] * warned)
      for base, warned in ((0xFFFF800000000000, True), (0xFFFF8FFFFFFFF000, True),
                           (0xFFFF900000000000, False))],
    (CHECK, [KERNEL, "--ramdisk", EMPTY], 2, ["文件为空"]),
    (CHECK, [EMPTY], 3, ["装载失败：文件为空"]),
    (CHECK, [], 1, ["usage"]),
    (SEAL, [file("signed.efi", signed), "-o", SEALED, "--kernel", KERNEL, "--initrd", RAMDISK], 5,
     ["seal the unsigned loader first, then sign"]),
]
for tool, arguments, status, holds in CASES:
    code, output = run(tool, *arguments)
    case = f"{Path(tool).name} {' '.join(map(str, arguments))}"
    failures += [f"{case}: exit status {code}, not {status}\n{output}"] * (code != status)
    failures += [f"{case}: no {text!r}\n{output}" for text in holds if text not in output]
    if DIRECT_MAP_WARNING in output and DIRECT_MAP_WARNING not in holds:
        failures.append(f"{case}: a warning\n{output}")

# The seal: magic, version, flags (7: with the command-line file) and the
# three files' digests at the start of its 4 KiB section.
cmdline = file("cmdline.txt", "root=/dev/quill 名字\n".encode())
code, output = run(SEAL, LOADER, "-o", SEALED, "--kernel", KERNEL, "--initrd", RAMDISK,
                   "--cmdline", cmdline)
loader, sealed = Path(LOADER).read_bytes(), SEALED.read_bytes()
seal = b"QMORSEAL" + struct.pack("<II", 1, 7) + b"".join(
    hashlib.sha256(path.read_bytes()).digest() for path in (KERNEL, RAMDISK, cmdline))
seal_at, checksum_at = sealed.find(seal), struct.unpack_from("<I", loader, 0x3C)[0] + 88
if code != 0 or seal_at < 0 or any(sealed[seal_at + len(seal):seal_at + 4096]):
    failures.append(f"the seal is not the files' digests\n{output}")
if len(sealed) != len(loader) or any(
        loader[i] != sealed[i] for i in range(len(loader))
        if not (seal_at <= i < seal_at + 4096 or checksum_at <= i < checksum_at + 4)):
    failures.append("sealing changed bytes outside the seal and the checksum")

print("\n".join(failures) or f"{len(CASES)} cases and the seal as expected")
sys.exit(1 if failures else 0)
