"""How the bench judges a run: the loader's log byte for byte after its banner
(values only the run knows in the loader's number forms), what the kernel
reports or draws, and how the run ended. Shared with `make run` and bench/.
"""

import re

from machine import EXIT_PASS, SECURE_BOOT_REFUSAL

PREFIX = "[quillmor] "
BANNER = b"\r\n" + (PREFIX + "引导加载器已由 Limine 引导管理器启动\r\n").encode()
KERNEL_FILE, RAMDISK_FILE = "boot/mavotix.elf", "boot/initrd.ustar"
CMDLINE_FILE = "boot/cmdline.txt"
FORMS = {"hex": r"0x(?:0|[1-9a-f][0-9a-f]{0,15})", "dec": r"(?:0|[1-9][0-9]{0,19})"}


def pattern(template):
    """A loader line with {hex:NAME} and {dec:NAME} placeholders, as a regex
    that accepts exactly the loader's number forms."""
    parts = re.split(r"\{(hex|dec):(\w+)\}", PREFIX + template + "\r\n")
    regex = re.escape(parts[0])
    for form, name, text in zip(parts[1::3], parts[2::3], parts[3::3]):
        regex += f"(?P<{name}>{FORMS[form]})" + re.escape(text)
    return re.compile(regex.encode())


def boot_lines(files, framebuffers=1):
    """The lines after the banner of a boot of the volume `files` that
    reaches the kernel."""
    kernel, ramdisk, cmdline = (files.get(name) for name in (KERNEL_FILE, RAMDISK_FILE,
                                                             CMDLINE_FILE))
    read_cmdline = [] if cmdline is None else [f"读入 \\boot\\cmdline.txt {len(cmdline)} 字节"]
    return [pattern(text) for text in [
        "引导卷已打开", f"读入 \\boot\\mavotix.elf {len(kernel)} 字节",
        f"读入 \\boot\\initrd.ustar {len(ramdisk)} 字节",
        "内核入口={hex:entry} 段={dec:segments} 映像={dec:size} 字节，落点={hex:landing} → "
        "{hex:base}", *read_cmdline, "页表就绪 PML{dec:levels}={hex:root}",
        "第二轮内存图 段数={dec:descriptors}", "切割区间=2",
        "内存区={dec:regions} 自己占页={dec:ledger} RSDP={hex:rsdp} 帧缓冲=" + str(framebuffers),
        "退出引导服务，交接给内核（交接结构={hex:handoff}）"]]


class Verdict:
    """What one run got wrong, and the values it read on the way."""

    def __init__(self, result):
        self.result, self.problems, self.values = result, [], {}

    def lines(self, expected):
        """The loader's output after its one banner as the patterns
        `expected`; returns the rest."""
        raw = self.result.raw
        if raw.count(BANNER) != 1:
            self.problems.append("the loader's banner did not appear exactly once")
            return None
        at = raw.find(BANNER) + len(BANNER)
        for number, want in enumerate(expected, 1):
            found = want.match(raw, at)
            if not found:
                self.problems.append(f"line {number} is not /{want.pattern.decode()}/")
                return None
            self.values.update({k: int(v, 0) for k, v in found.groupdict().items()})
            at = found.end()
        return raw[at:].decode("utf-8", "replace")

    def ending(self, status):
        """QEMU's exit status, or (None) a halt with interrupts off."""
        if (self.result.exit_status, self.result.halted) != (status, status is None):
            self.problems.append(f"{self.result.ending}, not {status or 'halted'}")


def expected_picture(width, height, frame=8):
    """{(x, y): rgb} on both sides of edges of the example's picture (the layout
    of examples/hello-kernel/src/picture.h): the white frame's corners, the
    gradient inside them, the squares' corners."""
    def gradient(x, y):
        return x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), 64

    white, inner = (255, 255, 255), (width - frame - 1, height - frame - 1)
    points = {(0, 0): white, (width - 1, height - 1): white, (frame, frame): gradient(frame, frame),
              inner: gradient(*inner)}
    side, top = min(width, height) // 4, height // 2 - min(width, height) // 8
    for index, colour in enumerate(((255, 0, 0), (0, 255, 0), (0, 0, 255))):
        left = (index + 1) * width // 4 - side // 2
        points.update({(left, top): colour, (left + side - 1, top + side - 1): colour,
                       (left - 1, top): gradient(left - 1, top)})
    return points


def picture(verdict, ppm):
    """The screenshot (a binary PPM, as QEMU's screendump writes it) against
    the picture the example must draw on a display of its size."""
    fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    if not fields:
        verdict.problems.append("no screenshot")
        return
    width, pixels = int(fields[1]), ppm[fields.end():]
    for (x, y), colour in expected_picture(width, int(fields[2])).items():
        if tuple(pixels[3 * (y * width + x):][:3]) != colour:
            verdict.problems.append(f"pixel {x}, {y} is not {colour}")


def fnv1a64(data):
    """The hash the test kernel reports of the ramdisk it was handed."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def judge(item, result, files):
    """The verdict on one run of the scenario `item` whose volume held
    `files`; item.ending says how the run must end."""
    verdict, raw = Verdict(result), result.raw
    if item.ending == "refused":
        if PREFIX.encode() in raw or not SECURE_BOOT_REFUSAL.search(raw):
            verdict.problems.append("the firmware did not refuse the image before it ran")
        return verdict
    if item.ending == "stop":
        count, text = item.expect
        if verdict.lines(boot_lines(files)[:count] + [pattern(text)]):
            verdict.problems.append("more output after the fatal line")
        verdict.ending(None)
        return verdict
    rest = verdict.lines(boot_lines(files, item.framebuffers))
    if item.ending == "outcome":  # a kernel of the user's own: the handover, then its outcome
        last = [line for line in (rest or "").replace("\r", "").split("\n") if line.strip()]
        verdict.outcome = f"{result.ending}; its last serial line: {(last or ['(none)'])[-1]}"
    elif rest is not None and item.ending == "kernel":  # the test kernel's oracle, its report
        checks = verdict.values["checks"] = rest.count("\n[ktest] ok ")
        ramdisk = files[RAMDISK_FILE]
        for want in (f"info ramdisk-fnv1a64=0x{fnv1a64(ramdisk):016x} length={len(ramdisk)}",
                     f"info extension {item.extension}", f"done ok={checks or 'none'} failed=0"):
            if not re.search(rf"^\[ktest\] {want}\r$", rest, re.M):
                verdict.problems.append(f"the test kernel's report lacks /{want}/")
        verdict.ending(EXIT_PASS)
    elif rest is not None:  # "picture": the example kernel's summary and drawing
        if "PROBLEM" in rest or "\nhello-kernel: done, no problems found\r\n" not in rest:
            verdict.problems.append("the example kernel found a problem, or did not finish")
        verdict.ending(None)
        shot = result.run_dir / "screen.ppm"
        picture(verdict, shot.read_bytes() if shot.is_file() else b"")
    return verdict
