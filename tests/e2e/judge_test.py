"""The bench's judges on runs written by hand: the right run passes and a
wrong one fails, so that a judge that cannot fail is noticed. No QEMU."""

import unittest
from pathlib import Path
from types import SimpleNamespace

import judge
from scenarios import Scenario

FILES = {judge.KERNEL_FILE: b"kernel", judge.RAMDISK_FILE: b"ramdisk"}
LOG = judge.BANNER.decode() + "".join(judge.PREFIX + text + "\r\n" for text in (
    "引导卷已打开", "读入 \\boot\\mavotix.elf 6 字节", "读入 \\boot\\initrd.ustar 7 字节",
    "内核入口=0xffffffff80000000 段=3 映像=24576 字节，落点=0x1234000 → 0xffffffff80000000",
    "页表就绪 PML4=0x7f00000", "第二轮内存图 段数=107", "切割区间=2",
    "内存区=33 自己占页=12 RSDP=0xfb7e014 帧缓冲=1", "退出引导服务，交接给内核（交接结构=0x1000）"))
LOG += "[ktest] start\r\n[ktest] ok record\r\n[ktest] info extension flags=0 cmdline=\r\n"
LOG += "[ktest] done ok=1 failed=0\r\n"


def problems(raw, exit_status=judge.EXIT_PASS, halted=False, **scenario):
    result = SimpleNamespace(raw=raw.encode(), exit_status=exit_status, halted=halted, ending="",
                             run_dir=Path("/nonexistent"))
    return judge.judge(Scenario("judged", **scenario), result, FILES).problems


class Judges(unittest.TestCase):
    def test_boot_and_test_kernel_report(self):
        self.assertEqual(problems(LOG), [])
        self.assertNotEqual(problems(LOG.replace("=0x1234000", "=0x01234000")), [])
        self.assertNotEqual(problems(LOG.replace("flags=0", "flags=3")), [])

    def test_stop(self):
        stop = LOG[:LOG.find("[quillmor] 内核入口")] + "[quillmor] fatal\r\n"
        for halted in (True, False):
            self.assertEqual(problems(stop, None, halted, ending="stop", expect=(3, "fatal")) == [],
                             halted)

    def test_picture(self):
        pixels = bytearray(3 * 64 * 48)
        for (x, y), colour in judge.expected_picture(64, 48).items():
            pixels[3 * (y * 64 + x):3 * (y * 64 + x) + 3] = bytes(colour)
        for shot, passes in ((pixels, True), (pixels[:-3] + b"\x01\x02\x03", False)):
            verdict = judge.Verdict(None)
            judge.picture(verdict, b"P6\n64 48\n255\n" + shot)
            self.assertEqual(verdict.problems == [], passes)


if __name__ == "__main__":
    unittest.main()
