"""quillmor-check against crafted kernels: each rejection name with its exit
status and the loader's own log line, the plan of a kernel the loader accepts
as its program headers give it, and the statuses for empty files and bad
usage.

    python3 quillmor_check_test.py TOOL KERNEL [KERNEL...]

Every KERNEL must be one the loader accepts.
"""

import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

import scenarios  # noqa: E402
from scenarios import LINK_BASE, elf, pages  # noqa: E402

TOOL = None
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


def run(*args):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, check=False)


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


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    while len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        KERNELS.append(sys.argv.pop(1))
    unittest.main()
