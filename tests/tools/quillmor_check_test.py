"""quillmor-check against the bench's crafted kernels: each rejection name
with its exit status and the loader's own log line, the plan of a kernel
the loader accepts, and the statuses for empty files and bad usage.

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

import kernel_image  # noqa: E402
import scenarios  # noqa: E402

TOOL = None
KERNELS = []
NAMES = scenarios.REJECTION_NAMES


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
        for key, (error, data, _) in scenarios.rejected_kernels().items():
            with self.subTest(key=key):
                result = run(self.write(key, data))
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
        plan = kernel_image.plan_kernel(Path(kernel).read_bytes())
        result = run(kernel)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        fields = dict(re.findall(r"^  (entry point|virtual base|virtual end) +0x([0-9a-f]+)$",
                                 result.stdout, re.MULTILINE))
        self.assertEqual(int(fields["entry point"], 16), plan.entry)
        self.assertEqual(int(fields["virtual base"], 16), plan.virtual_base)
        self.assertEqual(int(fields["virtual end"], 16), plan.virtual_end)
        self.assertIn(f"  segments        {plan.segments} loadable", result.stdout)
        self.assertIn(f"  landing area    {plan.image_size // 4096} pages", result.stdout)

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


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    while len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        KERNELS.append(sys.argv.pop(1))
    unittest.main()
