"""The bench's checks against logs written by hand: a correct log passes, and
each kind of wrong log (a wrong byte, a value the kernel contradicts, a
stray line, a wrong ending) fails. No QEMU involved."""

import unittest
from pathlib import Path

import scenarios
from machine import RunResult

KERNEL = scenarios.crafted_kernel()
RAMDISK = scenarios.sample_ramdisk()
HANDOFF = 0xFFFF80000FFE0000
PML4 = 0x7F00000


def good_log():
    lines = [
        "[quillmor] 引导卷已打开",
        f"[quillmor] 读入 \\boot\\mavotix.elf {len(KERNEL)} 字节",
        f"[quillmor] 读入 \\boot\\initrd.ustar {len(RAMDISK)} 字节",
        "[quillmor] 内核入口=0xffffffff80000000 段=3 映像=24576 字节，落点=0x1234000 → "
        "0xffffffff80000000",
        f"[quillmor] 页表就绪 PML4={PML4:#x}",
        "[quillmor] 第二轮内存图 段数=107",
        "[quillmor] 切割区间=2",
        "[quillmor] 内存区=33 自己占页=12 RSDP=0xfb7e014 帧缓冲=1",
        f"[quillmor] 退出引导服务，交接给内核（交接结构={HANDOFF:#x}）",
        "[ktest] start",
        f"[ktest] rdi={HANDOFF:#x} cr3={PML4:#x} rsp=0x7ff0ff0 levels=4",
        "[ktest] ok record-header",
        f"[ktest] info ramdisk-fnv1a64=0x{scenarios.fnv1a64(RAMDISK):016x} length={len(RAMDISK)}",
        "[ktest] done ok=1 failed=0",
    ]
    return scenarios.BANNER + "".join(line + "\r\n" for line in lines).encode()


FIRMWARE_TEXT = b"\x1b[2J\x1b[01;01HBdsDxe: starting Boot0001 \"UEFI QEMU HARDDISK\"\r\n"


def result_of(log, exit_status=33, halted=False):
    raw = FIRMWARE_TEXT + log
    return RunResult(raw=raw, chunks=[(1.0, raw)], exit_status=exit_status, halted=halted,
                     timed_out=False, stopped_early=False, duration=1.0,
                     run_dir=Path("/nonexistent"), command=[])


def full_boot_problems(log, exit_status=33, framebuffers=1):
    report = scenarios.Report(result_of(log, exit_status))
    scenarios.check_full_boot(report, KERNEL, RAMDISK, framebuffers)
    return report.problems


class FullBootChecks(unittest.TestCase):
    def test_correct_log_passes(self):
        self.assertEqual(full_boot_problems(good_log()), [])

    def test_wrong_logs_fail(self):
        log = good_log()
        wrong = {
            "half-width comma": log.replace("字节，落点".encode(), "字节,落点".encode()),
            "half-width parenthesis": log.replace("（".encode(), b"("),
            "leading zero": log.replace(b"PML4=0x7f00000", b"PML4=0x07f00000"),
            "upper-case hex": log.replace(b"RSDP=0xfb7e014", b"RSDP=0xFB7E014"),
            "LF without CR": log.replace("切割区间=2\r\n".encode(), "切割区间=2\n".encode()),
            "extra loader line": log.replace(b"[quillmor] \xe5\x88\x87",
                                             "[quillmor] 调试\r\n[quillmor] 切".encode()),
            "one carve interval": log.replace("切割区间=2".encode(), "切割区间=1".encode()),
            "wrong file size": log.replace(f" {len(RAMDISK)} 字节".encode(),
                                           f" {len(RAMDISK) + 1} 字节".encode()),
            "wrong image size": log.replace("映像=24576".encode(), "映像=24577".encode()),
            "unaligned landing area": log.replace(b"0x1234000 ", b"0x1234800 "),
            "unaligned handoff": log.replace(f"{HANDOFF:#x}）".encode(),
                                             f"{HANDOFF + 8:#x}）".encode()),
            "no framebuffer": log.replace("帧缓冲=1".encode(), "帧缓冲=0".encode()),
            "rdi differs": log.replace(f"rdi={HANDOFF:#x}".encode(), b"rdi=0x0"),
            "cr3 differs": log.replace(f"cr3={PML4:#x}".encode(), b"cr3=0x7f01000"),
            "PML5 root, four-level kernel": log.replace(b"PML4=", b"PML5="),
            "paging levels unreported": log.replace(b" levels=4", b""),
            "ramdisk length differs": log.replace(f"length={len(RAMDISK)}".encode(),
                                                  f"length={len(RAMDISK) - 512}".encode()),
            "ramdisk hash differs": log.replace(b"ramdisk-fnv1a64=0x", b"ramdisk-fnv1a64=0x1"),
            "failed check": log.replace(b"[ktest] ok record-header",
                                        b"[ktest] FAIL regions: overlap"),
            "exception": log.replace(b"[ktest] done ok=1 failed=0\r\n",
                                     b"[ktest] EXCEPTION vector=14 error=0x2 rip=0x1 cr2=0x2\r\n"),
            "failed count": log.replace(b"failed=0", b"failed=1"),
            "no checks ran": log.replace(b"done ok=1", b"done ok=0"),
            "loader line after handoff": log + "[quillmor] 装载失败：退出引导服务失败\r\n".encode(),
            "started twice": log + scenarios.BANNER,
            "banner altered": log.replace(b"Limine", b"limine"),
        }
        for what, text in wrong.items():
            with self.subTest(what):
                self.assertNotEqual(text, log)
                self.assertNotEqual(full_boot_problems(text), [])

    def test_five_level_root_passes_when_the_kernel_runs_five_levels(self):
        log = good_log().replace(b"PML4=", b"PML5=").replace(b" levels=4", b" levels=5")
        self.assertEqual(full_boot_problems(log), [])

    def test_preamble_must_precede_the_banner(self):
        report = scenarios.Report(result_of(good_log()))
        scenarios.check_full_boot(report, KERNEL, RAMDISK, 1, preamble=b"BdsDxe: starting")
        self.assertEqual(report.problems, [])
        for absent in (b"Welcome to GRUB!", "引导卷已打开".encode()):
            report = scenarios.Report(result_of(good_log()))
            scenarios.check_full_boot(report, KERNEL, RAMDISK, 1, preamble=absent)
            self.assertNotEqual(report.problems, [], absent)

    def test_framebuffer_count_is_checked_both_ways(self):
        self.assertNotEqual(full_boot_problems(good_log(), framebuffers=0), [])

    def test_wrong_endings_fail(self):
        for status in (None, 0, 35, 37):
            with self.subTest(status=status):
                self.assertNotEqual(full_boot_problems(good_log(), exit_status=status), [])


class ExactChecks(unittest.TestCase):
    def check(self, name, log, halted=True):
        files = {scenarios.KERNEL_FILE: KERNEL, scenarios.RAMDISK_FILE: RAMDISK}
        report = scenarios.Report(result_of(log, exit_status=None, halted=halted))
        scenarios.SCENARIOS[name].check(report, None, files)
        return report.problems

    def expected(self, error):
        return (scenarios.BANNER + scenarios.volume_opened()
                + scenarios.file_read(scenarios.KERNEL_PATH, len(KERNEL))
                + scenarios.file_read(scenarios.RAMDISK_PATH, len(RAMDISK))
                + scenarios.rejected(error))

    def test_rejection(self):
        log = self.expected("TooManySegments")
        self.assertEqual(self.check("kernel-TooManySegments", log), [])
        self.assertNotEqual(self.check("kernel-TooManySegments", log, halted=False), [])
        self.assertNotEqual(self.check("kernel-TooManySegments", log + b"\r\n"), [])
        self.assertNotEqual(self.check("kernel-SegmentOutOfFile", log), [])
        prefixed = log.replace("内核映像不合规".encode(), "装载失败：内核映像不合规".encode())
        self.assertNotEqual(self.check("kernel-TooManySegments", prefixed), [])

    def test_secure_boot_refusal(self):
        refusal = (b'BdsDxe: failed to load Boot0001 "UEFI QEMU HARDDISK QM00001 " from '
                   b'PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0): Access Denied\r\n')
        other = refusal.replace(b"Access Denied", b"Not Found")
        for log, passes in ((refusal, True), (other, False), (refusal + scenarios.BANNER, False),
                            (refusal + scenarios.volume_opened(), False)):
            report = scenarios.Report(result_of(log, exit_status=None))
            scenarios.check_refused(report, None, {})
            self.assertEqual(report.problems == [], passes, log)

    def test_rejection_text_is_exact(self):
        self.assertEqual(scenarios.rejected("EmptyImage"),
                         b"[quillmor] \xe5\x86\x85\xe6\xa0\xb8\xe6\x98\xa0\xe5\x83\x8f\xe4\xb8"
                         b"\x8d\xe5\x90\x88\xe8\xa7\x84\xef\xbc\x9aEmptyImage\r\n")
        self.assertEqual(scenarios.cannot_open(scenarios.RAMDISK_PATH),
                         b"[quillmor] \xe6\x89\x93\xe4\xb8\x8d\xe5\xbc\x80\xef\xbc\x9a"
                         b"\\boot\\initrd.ustar\r\n")


if __name__ == "__main__":
    unittest.main()
