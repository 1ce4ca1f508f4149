"""Each judge of the bench on a run written by hand: the right one passes and
a wrong one fails, so that a judge that cannot fail is noticed. No QEMU."""

import unittest

import judge
from judge import line

KERNEL, RAMDISK = b"\x7fELF kernel", b"ramdisk bytes"
PLAN = (0xFFFFFFFF80000000, 3, 24576, 0xFFFFFFFF80000000)
HANDOFF, ROOT = 0xFFFF80000FFE0000, 0x7F00000


def boot_log(framebuffers=1, ktest=True):
    log = judge.reads(KERNEL, RAMDISK) + b"".join(line(text) for text in (
        "内核入口=0xffffffff80000000 段=3 映像=24576 字节，落点=0x1234000 → 0xffffffff80000000",
        f"页表就绪 PML4={ROOT:#x}", "第二轮内存图 段数=107", "切割区间=2",
        f"内存区=33 自己占页=12 RSDP=0xfb7e014 帧缓冲={framebuffers}",
        f"退出引导服务，交接给内核（交接结构={HANDOFF:#x}）"))
    report = ["start", f"rdi={HANDOFF:#x} cr3={ROOT:#x} rsp=0x7ff0ff0 levels=4",
              "ok record-header", f"info ramdisk-fnv1a64=0x{judge.fnv1a64(RAMDISK):016x} length=13",
              "info boot-processor leaf=0x1", "done ok=1 failed=0"]
    return b"BdsDxe: starting\r\n" + log + b"".join(b"[ktest] " + t.encode() + b"\r\n"
                                                   for t in report if ktest)


def problems(log, exit_status=33, framebuffers=1):
    verdict = judge.Verdict(log, exit_status)
    rest = verdict.full_boot(KERNEL, RAMDISK, PLAN, framebuffers, b"BdsDxe")
    if rest is not None:
        verdict.test_kernel(rest, RAMDISK)
    return verdict.problems


class Judges(unittest.TestCase):
    def test_own_kernel_outcome(self):
        verdict = judge.Verdict(boot_log(ktest=False) + b"my kernel: up\r\n", 0x21)
        self.assertEqual(verdict.own_kernel(0x21, ""),
                         "wrote 0x10 to isa-debug-exit; its last serial line: my kernel: up")
        self.assertEqual(verdict.problems, [])
        silent = judge.Verdict(judge.reads(KERNEL, RAMDISK))
        silent.own_kernel(None, "deadline reached")
        self.assertEqual(silent.problems, ["the loader never handed over to the kernel"])

    def test_full_boot_and_test_kernel_report(self):
        self.assertEqual(problems(boot_log()), [])
        wrong = {"a byte of a line": boot_log().replace("引导卷".encode(), "引导盘".encode()),
                 "a leading zero": boot_log().replace(b"=0x1234000", b"=0x01234000"),
                 "framebuffer count": boot_log(framebuffers=0),
                 "a failed check": boot_log().replace(b"ok record-header", b"FAIL x: y"),
                 "other registers": boot_log().replace(b"levels=4", b"levels=5"),
                 "another ramdisk": boot_log().replace(b"length=13", b"length=1"),
                 "no verdict": boot_log().replace(b"done ok=1", b"done ok=0"),
                 "no kernel": boot_log(ktest=False)}
        for what, log in wrong.items():
            self.assertNotEqual(problems(log), [], what)
        self.assertNotEqual(problems(boot_log(), exit_status=35), [])

    def test_exact_log_and_halt(self):
        log = judge.reads(KERNEL, RAMDISK) + line("装载失败：文件为空")
        for raw, halted, passes in ((log, True, True), (log, False, False),
                                    (log.replace("空".encode(), "满".encode()), True, False)):
            verdict = judge.Verdict(raw, None, halted)
            verdict.exact(log)
            self.assertEqual(verdict.problems == [], passes)

    def test_example_summary(self):
        values = {"handoff": HANDOFF, "regions": 33, "rsdp": 0xfb7e014}
        summary = ["", "hello-kernel: booted by quillmor 1.0.0, handoff record at "
                   f"{HANDOFF:#x} (version 1, 13544 bytes)", "memory regions: 33", "modules: 1",
                   "  initrd: ustar (13 bytes) at 0xffff800001000000, loaded from "
                   "\\boot\\initrd.ustar",
                   'ACPI: RSDP at 0xfb7e014: signature "RSD PTR ", revision 2, checksums ok, x',
                   "boot processor: id 0 (1 processor(s) in the table)",
                   "  GetTime: 2026-12-07 20:47:00", judge.EXAMPLE_DONE]
        for text, passes in ((summary, True), (summary[:2] + summary[3:], False),
                             (summary + ["PROBLEM: x"], False)):
            verdict = judge.Verdict(b"", 33)
            verdict.example("\r\n".join(text).encode(), judge.example_summary(values, 13, 0))
            self.assertEqual(verdict.problems == [], passes, text)

    def test_picture(self):
        width, height = 64, 48
        pixels = bytearray(3 * width * height)
        for (x, y), (_, colour) in judge.expected_picture(width, height).items():
            pixels[3 * (y * width + x):3 * (y * width + x) + 3] = bytes(colour)
        ppm = b"P6\n64 48\n255\n" + bytes(pixels)
        for shot, passes in ((ppm, True), (ppm[:-3] + b"\x01\x02\x03", False)):
            verdict = judge.Verdict(b"")
            verdict.kernel.update(width=width, height=height)
            judge.picture(verdict, shot)
            self.assertEqual(verdict.problems == [], passes)


if __name__ == "__main__":
    unittest.main()
