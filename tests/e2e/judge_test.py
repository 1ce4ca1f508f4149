"""Each judge of the bench on a run written by hand: the right run passes and a
wrong one fails, so that a judge that cannot fail is noticed. No QEMU."""

import unittest
from pathlib import Path
from types import SimpleNamespace

import judge
from judge import KERNEL_FILE, RAMDISK_FILE, line
from scenarios import Scenario, crafted_kernel

FILES = {KERNEL_FILE: crafted_kernel(), RAMDISK_FILE: b"ramdisk bytes"}
HANDOFF, ROOT = 0xFFFF80000FFE0000, 0x7F00000
LOG = b"BdsDxe: starting\r\n" + judge.BANNER + b"".join(line(text) for text in (
    "引导卷已打开", f"读入 \\boot\\mavotix.elf {len(FILES[KERNEL_FILE])} 字节",
    "读入 \\boot\\initrd.ustar 13 字节",
    "内核入口=0xffffffff80000000 段=3 映像=24576 字节，落点=0x1234000 → 0xffffffff80000000",
    f"页表就绪 PML4={ROOT:#x}", "第二轮内存图 段数=107", "切割区间=2",
    "内存区=33 自己占页=12 RSDP=0xfb7e014 帧缓冲=1", f"退出引导服务，交接给内核（交接结构={HANDOFF:#x}）"))
REPORT = b"".join(b"[ktest] " + text.encode() + b"\r\n" for text in (
    "start", f"rdi={HANDOFF:#x} cr3={ROOT:#x} rsp=0x7ff0ff0 levels=4", "ok record-header",
    f"info ramdisk-fnv1a64=0x{judge.fnv1a64(FILES[RAMDISK_FILE]):016x} length=13",
    "info stack region-type=1", "info extension flags=0 cmdline=",
    "info boot-processor leaf=0x1 entry-rflags=0x2", "done ok=1 failed=0"))
SUMMARY = ["hello-kernel: booted by quillmor 1.0.0, handoff record at "
           f"{HANDOFF:#x} (version 1, 13544 bytes)", "memory regions: 33", "modules: 1",
           "  initrd: ustar (13 bytes) at 0xffff800001000000, loaded from \\boot\\initrd.ustar",
           'ACPI: RSDP at 0xfb7e014: signature "RSD PTR ", revision 2, checksums ok, x',
           "boot processor: id 0 (1 processor(s) in the table)", "  GetTime: 2026-12-07 20:47:00",
           judge.EXAMPLE_DONE]


def problems(raw, exit_status=33, halted=False, **scenario):
    result = SimpleNamespace(raw=raw, exit_status=exit_status, halted=halted, ending="",
                             run_dir=Path("/nonexistent"))
    return judge.judge(Scenario("judged", **scenario), result, FILES).problems


class Judges(unittest.TestCase):
    def test_full_boot_and_test_kernel_report(self):
        self.assertEqual(problems(LOG + REPORT, preamble=b"BdsDxe"), [])
        self.assertNotEqual(problems(LOG.replace(b"=0x1234000", b"=0x01234000") + REPORT), [])
        self.assertNotEqual(problems(LOG + REPORT.replace(b"levels=4", b"levels=5")), [])

    def test_stop(self):
        stop = LOG[:LOG.find("[quillmor] 内核入口".encode())] + line("装载失败：文件为空")
        for halted in (True, False):
            self.assertEqual(problems(stop, None, halted, ending="stop",
                                      expect=(3, "装载失败：文件为空")) == [], halted)

    def test_example_summary(self):
        for text, passes in ((SUMMARY, True), (SUMMARY[:1] + SUMMARY[2:], False)):
            log = LOG.replace("帧缓冲=1".encode(), "帧缓冲=0".encode())
            summary = "\r\n".join([""] + text).encode()
            self.assertEqual(problems(log + summary, framebuffers=0, ending="example") == [],
                             passes)

    def test_picture(self):
        width, height = 64, 48
        pixels = bytearray(3 * width * height)
        for (x, y), colour in judge.expected_picture(width, height).items():
            pixels[3 * (y * width + x):3 * (y * width + x) + 3] = bytes(colour)
        ppm = b"P6\n64 48\n255\n" + bytes(pixels)
        for shot, passes in ((ppm, True), (ppm[:-3] + b"\x01\x02\x03", False)):
            verdict = judge.Verdict(b"")
            verdict.values.update(width=width, height=height)
            judge.picture(verdict, shot)
            self.assertEqual(verdict.problems == [], passes)

    def test_own_kernel_outcome(self):
        verdict = judge.Verdict(LOG + b"my kernel: up\r\n", 0x21)
        self.assertEqual(verdict.own_kernel(""),
                         "wrote 0x10 to isa-debug-exit; its last serial line: my kernel: up")
        self.assertEqual(problems(LOG[:200], ending="outcome"),
                         ["the loader never handed over to the kernel"])


if __name__ == "__main__":
    unittest.main()
