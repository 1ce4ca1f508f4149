"""The example kernel's checks against summaries and screenshots made by hand:
a correct one passes, and each kind of wrong one fails. No QEMU involved."""

import tempfile
import unittest
from pathlib import Path

import example_scenarios
import png
import scenarios
from test_checks import HANDOFF, KERNEL, RAMDISK, good_log, result_of

WIDTH, HEIGHT = 160, 120


def good_summary():
    loader = good_log().split(b"[ktest]")[0]
    lines = [
        "",
        f"hello-kernel: booted by quillmor 1.0.0, handoff record at {HANDOFF:#x} "
        "(version 1, 13544 bytes)",
        "kernel: at physical 0x1234000, linked at 0xffffffff80000000; "
        "direct map at 0xffff800000000000",
        "memory regions: 33",
        *[f"  [0x{i:012x}, 0x{i + 1:012x})  1 bytes       usable" for i in range(33)],
        "usable memory: 33 bytes in 33 regions, plus 0 bytes boot reclaimable",
        "modules: 1",
        f"  initrd: 30 KiB ({len(RAMDISK)} bytes) at 0xffff80000fe00000, "
        "loaded from \\boot\\initrd.ustar",
        f"framebuffer: {WIDTH}x{HEIGHT}, pitch {WIDTH * 4} bytes, 32 bits per pixel, "
        "at 0xffff800080000000",
        "  pixel layout: red bits 16-23, green bits 8-15, blue bits 0-7",
        'ACPI: RSDP at 0xfb7e014: signature "RSD PTR ", revision 2, checksums ok, '
        'OEM "BOCHS ", XSDT at 0xfb7d0e8',
        "extension: EFI system table at 0xfb5eb018, runtime services at 0xfb5ebb98",
        "  GetTime: 2026-12-07 20:14:48",
        "boot processor: id 0 (1 processor(s) in the table)",
        "framebuffer: drawn (gradient, white frame, red, green and blue squares)",
        "hello-kernel: done, no problems found",
    ]
    return loader + "".join(line + "\r\n" for line in lines).encode()


def summary_problems(log, exit_status=33, halted=False, halts=False):
    report = scenarios.Report(result_of(log, exit_status, halted))
    scenarios.check_full_boot(report, KERNEL, RAMDISK, framebuffers=1,
                              kernel_check=example_scenarios.example_check(halts))
    return report.problems


def picture(width, height):
    """The example's picture drawn here from the layout the check expects."""
    side = min(width, height) // 4
    top = height // 2 - side // 2
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            colour = (x * 255 // (width - 1), y * 255 // (height - 1), 64)
            if min(x, y, width - 1 - x, height - 1 - y) < 8:
                colour = (255, 255, 255)
            for index, square in enumerate(((255, 0, 0), (0, 255, 0), (0, 0, 255))):
                left = (index + 1) * width // 4 - side // 2
                if left <= x < left + side and top <= y < top + side:
                    colour = square
            row += bytes(colour)
        rows.append(bytes(row))
    return png.Image(width, height, rows)


def picture_problems(image, reported=(WIDTH, HEIGHT)):
    with tempfile.TemporaryDirectory() as run_dir:
        (Path(run_dir) / "screen.png").write_bytes(png.write_png(image))
        report = scenarios.Report(result_of(b""))
        report.result.run_dir = Path(run_dir)
        report.kernel.update(width=reported[0], height=reported[1], pitch=reported[0] * 4)
        example_scenarios.check_picture(report, None)
        return report.problems


class SummaryChecks(unittest.TestCase):
    def test_correct_summary_passes(self):
        self.assertEqual(summary_problems(good_summary()), [])
        self.assertEqual(summary_problems(good_summary(), exit_status=None, halted=True,
                                          halts=True), [])

    def test_wrong_summaries_fail(self):
        log = good_summary()
        wrong = {
            "another record": log.replace(b"handoff record at 0xffff80000ffe0000",
                                          b"handoff record at 0xffff80000ffe1000"),
            "region count": log.replace(b"memory regions: 33", b"memory regions: 32"),
            "a region missing": log.replace(b"  [0x000000000000, 0x000000000001)  1 bytes"
                                            b"       usable\r\n", b""),
            "module size": log.replace(f"({len(RAMDISK)} bytes)".encode(), b"(1 bytes)"),
            "BGR layout": log.replace(b"red bits 16-23", b"red bits 0-7"),
            "another RSDP": log.replace(b"RSDP at 0xfb7e014", b"RSDP at 0xfb7e000"),
            "a problem": log.replace(b"boot processor: id 0",
                                     b"boot processor: PROBLEM: no processor entry"),
            "not drawn": log.replace(b"framebuffer: drawn", b"framebuffer: skipped"),
            "cut short": log[:log.rindex(b"hello-kernel: done")],
            "no CR": log.replace(b"done, no problems found\r\n", b"done, no problems found\n"),
        }
        for what, bad in wrong.items():
            with self.subTest(what):
                self.assertNotEqual(bad, log)
                self.assertNotEqual(summary_problems(bad), [])

    def test_wrong_endings_fail(self):
        self.assertNotEqual(summary_problems(good_summary(), exit_status=35), [])
        self.assertNotEqual(summary_problems(good_summary(), exit_status=None, halted=True), [])
        self.assertNotEqual(summary_problems(good_summary(), halts=True), [])


class PictureChecks(unittest.TestCase):
    def test_correct_picture_passes(self):
        self.assertEqual(picture_problems(picture(WIDTH, HEIGHT)), [])

    def test_wrong_pictures_fail(self):
        good = picture(WIDTH, HEIGHT)
        swapped = png.Image(WIDTH, HEIGHT, [b"".join(bytes(reversed(row[i:i + 3]))
                                                     for i in range(0, len(row), 3))
                                            for row in good.rows])
        # A pitch one pixel too short: every line starts one pixel further on.
        sheared = png.Image(WIDTH, HEIGHT, [row[3 * (y % WIDTH):] + row[:3 * (y % WIDTH)]
                                            for y, row in enumerate(good.rows)])
        for what, image in (("red and blue swapped", swapped), ("sheared lines", sheared)):
            with self.subTest(what):
                self.assertNotEqual(picture_problems(image), [])
        self.assertNotEqual(picture_problems(good, reported=(WIDTH, HEIGHT - 1)), [])

    def test_ppm_screenshot_converts(self):
        good = picture(WIDTH, HEIGHT)
        ppm = b"P6\n# QEMU\n%d %d\n255\n" % (WIDTH, HEIGHT) + b"".join(good.rows)
        self.assertEqual(png.read_png(png.write_png(png.read_ppm(ppm))).rows, good.rows)


if __name__ == "__main__":
    unittest.main()
