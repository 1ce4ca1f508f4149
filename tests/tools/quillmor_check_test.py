"""quillmor-check against crafted kernels: each rejection name with its exit
status and the loader's own log line, the plan of a kernel the loader accepts
as its program headers give it, and the statuses for empty files and bad
usage. Then quillmor-seal on the loader image: the seal's bytes and the PE
checksum, and what it refuses.

    python3 quillmor_check_test.py TOOL SEAL_TOOL LOADER KERNEL [KERNEL...]

Every KERNEL must be one the loader accepts.
"""

import hashlib
import re
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

import scenarios  # noqa: E402
from scenarios import LINK_BASE, elf, pages  # noqa: E402

TOOL = None
SEAL_TOOL = None
LOADER = None
KERNELS = []
NAMES = ("NotElf64", "NotX86_64", "NotExecutable", "BadHeader", "SegmentOutOfFile",
         "TooManySegments", "EmptyImage")
REJECTED = {**scenarios.REJECTED,
            "NotX86_64": elf(pages(2), LINK_BASE, machine=183),
            "TooManySegments": elf(pages(9), LINK_BASE + 0x100000),
            "NotExecutable": elf(pages(2), LINK_BASE, e_type=3),
            "SegmentOutOfFile": elf(pages(2), LINK_BASE)[:-9],  # its last byte past the end
            "EmptyImage": elf([(4, LINK_BASE, 64, b"note")], LINK_BASE)}


def plan(data):
    """Entry, virtual base and end, and loadable count from the headers."""
    offset = int.from_bytes(data[32:40], "little")
    size, count = (int.from_bytes(data[at:at + 2], "little") for at in (54, 56))
    spans = []
    for at in range(offset, offset + count * size, size):
        kind, vaddr, memsz = (int.from_bytes(data[at + a:at + b], "little")
                              for a, b in ((0, 4), (16, 24), (40, 48)))
        if kind == 1 and memsz:
            spans.append((vaddr, vaddr + memsz))
    return (int.from_bytes(data[24:32], "little"), min(s for s, _ in spans),
            max(e for _, e in spans), len(spans))


def run(*args, tool=None):
    return subprocess.run([tool or TOOL, *map(str, args)], capture_output=True, text=True,
                          check=False)


def pe_checksum(image, at):
    """The PE checksum: 16-bit words with end-around carry, the field itself
    as zero, plus the file's length."""
    data = image[:at] + bytes(4) + image[at + 4:] + bytes(len(image) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


class QuillmorCheckTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, data):
        path = Path(self.dir.name) / name
        path.write_bytes(data)
        return path

    def test_every_rejection_has_its_name_status_and_log_line(self):
        seen = set()
        for error, data in REJECTED.items():
            with self.subTest(error=error):
                result = run(self.write(error, data))
                self.assertEqual(result.returncode, 10 + NAMES.index(error), result.stdout)
                self.assertIn(f": rejected: {error}\n", result.stdout)
                self.assertIn(f"[quillmor] 内核映像不合规：{error}\n", result.stdout)
                self.assertRegex(result.stdout, r"\n  cause: .+\n  hint:  .+\n")
                seen.add(error)
        self.assertEqual(seen, set(NAMES))

    def test_accepted_kernels_show_the_loaders_plan(self):
        for kernel in KERNELS:
            with self.subTest(kernel=kernel):
                self.check_plan(kernel)

    def check_plan(self, kernel):
        entry, base, end, segments = plan(Path(kernel).read_bytes())
        result = run(kernel)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        fields = dict(re.findall(r"^  (entry point|virtual base|virtual end) +0x([0-9a-f]+)$",
                                 result.stdout, re.MULTILINE))
        self.assertEqual([int(fields[k], 16) for k in ("entry point", "virtual base",
                                                       "virtual end")], [entry, base, end])
        self.assertIn(f"  segments        {segments} loadable", result.stdout)
        self.assertIn(f"  landing area    {(end - base + 4095) // 4096} pages", result.stdout)

    def test_a_span_in_the_direct_maps_first_64_tib_is_warned_of(self):
        for base, warned in ((0xFFFF800000000000, True), (0xFFFF8FFFFFFFF000, True),
                             (0xFFFF900000000000, False), (scenarios.LINK_BASE, False)):
            with self.subTest(base=hex(base)):
                result = run(self.write("kernel.elf", scenarios.crafted_kernel(base=base)))
                self.assertEqual(result.returncode, 0, result.stdout)
                self.assertEqual("内核链接地址与直接映射重叠" in result.stdout, warned)

    def test_ramdisk_memory_need_and_failures(self):
        kernel = KERNELS[0]
        ramdisk = self.write("initrd", bytes(10000))
        result = run(kernel, "--ramdisk", ramdisk)
        self.assertEqual(result.returncode, 0)
        self.assertIn("10000 bytes, handed over as module \"initrd\"", result.stdout)
        self.assertIn("ramdisk 3,", result.stdout)
        self.assertEqual(run(kernel, "--ramdisk", self.write("empty", b"")).returncode, 2)
        self.assertEqual(run(kernel, "--ramdisk", "/nonexistent").returncode, 2)
        empty = run(self.write("empty.elf", b""))
        self.assertEqual(empty.returncode, 3)
        self.assertIn("装载失败：文件为空", empty.stdout)
        self.assertEqual(run().returncode, 1)
        self.assertEqual(run(kernel, kernel).returncode, 1)

    def test_seal_writes_the_digests_and_refuses_what_it_must(self):
        loader, kernel = Path(LOADER).read_bytes(), Path(KERNELS[0]).read_bytes()
        ramdisk = self.write("initrd", bytes(range(256)) * 41)
        out = Path(self.dir.name) / "sealed.efi"
        result = run(LOADER, "--kernel", KERNELS[0], "--initrd", ramdisk, "-o", out,
                     tool=SEAL_TOOL)
        self.assertEqual(result.returncode, 0, result.stderr)
        sealed = out.read_bytes()
        pe = struct.unpack_from("<I", loader, 0x3C)[0]
        count, optional_size = (struct.unpack_from("<H", loader, pe + off)[0] for off in (6, 20))
        headers = [pe + 24 + optional_size + 40 * i for i in range(count)]
        at = next(struct.unpack_from("<I", loader, h + 20)[0] for h in headers
                  if loader[h:h + 8] == b".qseal\0\0")
        self.assertEqual(loader[at:at + 4096], bytes(4096))
        checksum_at = pe + 24 + 64
        self.assertEqual(sealed[at:at + 4096], b"QMORSEAL" + struct.pack("<II", 1, 3)
                         + hashlib.sha256(kernel).digest()
                         + hashlib.sha256(ramdisk.read_bytes()).digest() + bytes(4096 - 80))
        self.assertEqual(struct.unpack_from("<I", sealed, checksum_at)[0],
                         pe_checksum(sealed, checksum_at))
        changed = [i for i in range(len(loader)) if loader[i] != sealed[i]]
        self.assertTrue(all(at <= i < at + 4096 or checksum_at <= i < checksum_at + 4
                            for i in changed))
        # With --cmdline the file's digest too, and flag bit 2.
        line = self.write("cmdline.txt", "root=/dev/quill 名字\n".encode())
        result = run(LOADER, "--kernel", KERNELS[0], "--initrd", ramdisk, "--cmdline", line,
                     "-o", out, tool=SEAL_TOOL)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(out.read_bytes()[at + 12:at + 112], struct.pack("<I", 7)
                         + hashlib.sha256(kernel).digest()
                         + hashlib.sha256(ramdisk.read_bytes()).digest()
                         + hashlib.sha256(line.read_bytes()).digest())
        # A certificate table (as sbsign adds it), a kernel the loader refuses, an empty ramdisk.
        signed = bytearray(loader)
        struct.pack_into("<II", signed, checksum_at - 64 + 112 + 4 * 8, len(loader), 8)
        refusals = [(self.write("signed.efi", bytes(signed)), KERNELS[0], ramdisk, 5,
                     "seal the unsigned loader first, then sign"),
                    (LOADER, self.write("bad.elf", REJECTED["NotElf64"]),
                     ramdisk, 10, "rejected: NotElf64"),
                    (LOADER, KERNELS[0], self.write("empty", b""), 2, "文件为空")]
        for image, kernel_path, ramdisk_path, status, text in refusals:
            with self.subTest(status=status):
                result = run(image, "--kernel", kernel_path, "--initrd", ramdisk_path, "-o",
                             out, tool=SEAL_TOOL)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(text, result.stdout + result.stderr)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    SEAL_TOOL = sys.argv.pop(1)
    LOADER = sys.argv.pop(1)
    while len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        KERNELS.append(sys.argv.pop(1))
    unittest.main()
