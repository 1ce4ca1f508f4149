"""How the bench judges a run: the loader's log byte for byte from its banner
on (values only the run can know matched against the loader's number forms),
then what the kernel reports, then how the run ended. Shared by the scenario
table, `make run` and the boot-timing bench.
"""

import itertools
import re

from machine import EXIT_CHECK_FAILED, EXIT_PASS, SECURE_BOOT_REFUSAL

PREFIX = "[quillmor] "
BANNER = b"\r\n" + (PREFIX + "引导加载器已由 Limine 引导管理器启动\r\n").encode()
KERNEL_FILE, RAMDISK_FILE = "boot/mavotix.elf", "boot/initrd.ustar"
CMDLINE_FILE = "boot/cmdline.txt"
KTEST = b"[ktest] "
EXAMPLE_DONE = "hello-kernel: done, no problems found"
FORMS = {"hex": r"0x(?:0|[1-9a-f][0-9a-f]{0,15})", "dec": r"(?:0|[1-9][0-9]{0,19})"}


def line(text):
    return (PREFIX + text + "\r\n").encode()


def pattern(template):
    """A loader line with {hex:NAME} and {dec:NAME} placeholders, as a regex
    that accepts exactly the loader's number forms."""
    parts = re.split(r"\{(hex|dec):(\w+)\}", PREFIX + template + "\r\n")
    regex = re.escape(parts[0])
    for form, name, text in zip(parts[1::3], parts[2::3], parts[3::3]):
        regex += f"(?P<{name}>{FORMS[form]})" + re.escape(text)
    return re.compile(regex.encode())


def plan(kernel):
    """Entry, loadable segment count, virtual base and end of an ELF64 kernel,
    from its program headers."""
    def field(at, size):
        return int.from_bytes(kernel[at:at + size], "little")

    table, stride, count = field(32, 8), field(54, 2), field(56, 2)
    spans = [(field(at + 16, 8), field(at + 16, 8) + field(at + 40, 8))
             for at in range(table, table + stride * count, stride)
             if field(at, 4) == 1 and field(at + 40, 8)]
    return field(24, 8), len(spans), min(s for s, _ in spans), max(e for _, e in spans)


def boot_lines(kernel, ramdisk, framebuffers=1, cmdline_file=None):
    """A complete boot's lines, the banner with the first (past the file lines
    only for an ELF kernel)."""
    kernel, ramdisk = kernel or b"", ramdisk or b""
    lines = [BANNER + line("引导卷已打开"), line(f"读入 \\boot\\mavotix.elf {len(kernel)} 字节"),
             line(f"读入 \\boot\\initrd.ustar {len(ramdisk)} 字节")]
    if not kernel.startswith(b"\x7fELF"):
        return lines
    entry, segments, base, end = plan(kernel)
    size = (end - base + 4095) & ~4095
    lines.append(pattern(f"内核入口={entry:#x} 段={segments} 映像={size} 字节，落点={{hex:landing}} → "
                         f"{base:#x}"))
    if cmdline_file is not None:  # read into the record's pages, once they are known
        lines.append(line(f"读入 \\boot\\cmdline.txt {len(cmdline_file)} 字节"))
    return lines + [pattern("页表就绪 PML{dec:levels}={hex:root}"),
                    pattern("第二轮内存图 段数={dec:descriptors}"), line("切割区间=2"),
                    pattern("内存区={dec:regions} 自己占页={dec:ledger} RSDP={hex:rsdp} "
                            f"帧缓冲={framebuffers}"),
                    pattern("退出引导服务，交接给内核（交接结构={hex:handoff}）")]


def show(data):
    return repr(data.decode("utf-8", "backslashreplace"))


class Verdict:
    """What one run got wrong, and the values it read on the way."""

    def __init__(self, raw, exit_status=None, halted=False):
        self.raw, self.exit_status, self.halted = raw, exit_status, halted
        self.problems, self.values = [], {}

    def fail(self, text):
        self.problems.append(text)

    def own_kernel(self, ending):
        """A kernel of the user's own: only the handover is judged. Returns
        the run's ending with the kernel's last serial line."""
        handover = self.raw.find((PREFIX + "退出引导服务，交接给内核（").encode())
        if handover < 0:
            self.fail("the loader never handed over to the kernel")
            return "no handover"
        after = self.raw[handover:].partition(b"\r\n")[2].replace(b"\r", b"").split(b"\n")
        last = next((text for text in reversed(after) if text.strip()), b"(none)")
        if self.exit_status is not None and self.exit_status & 1:
            ending = f"wrote {self.exit_status >> 1:#x} to isa-debug-exit"
        return f"{ending}; its last serial line: {last.decode('utf-8', 'replace')}"

    def lines(self, expected, preamble=None):
        """The loader's output from its banner as `expected` (bytes or
        patterns); returns the rest."""
        start = self.raw.find(BANNER)
        if start < 0:
            self.fail("the loader's 65-byte banner never appeared")
            return None
        if self.raw.count(BANNER) > 1:
            self.fail("the banner appears more than once: the loader was started again")
        if preamble is not None and preamble not in self.raw[:start]:
            self.fail(f"before the banner the output lacks {show(preamble)}")
        at = start
        for number, want in enumerate(expected, 1):
            regex = re.compile(re.escape(want)) if isinstance(want, bytes) else want
            found = regex.match(self.raw, at)
            if not found:
                got = self.raw[at:self.raw.find(b"\n", at) + 1 or None]
                self.fail(f"line {number}: expected {show(getattr(want, 'pattern', want))}, "
                          f"got {show(got)}")
                return None
            self.values.update({k: int(v, 0) for k, v in found.groupdict().items()})
            at = found.end()
        return self.raw[at:]

    def test_kernel(self, rest, ramdisk, leaf="0x[0-9a-f]+", region="1", flags="0", cmdline=""):
        """The test kernel's report: its checks (the oracle's) all passed, and
        what it read (registers, ramdisk, `report`'s facts) is the run's."""
        v, texts = self.values, rest.decode("utf-8", "replace").split("\r\n")
        others = [text for text in texts if not re.fullmatch(r"\[ktest\] ok .+", text)]
        v["checks"] = len(texts) - len(others)
        registers = f"rdi={v['handoff']:#x} cr3={v['root']:#x} rsp=0x[0-9a-f]+ levels={v['levels']}"
        expected = [rf"\[ktest\] {text}" for text in (
            "start", registers,
            f"info ramdisk-fnv1a64=0x{fnv1a64(ramdisk):016x} length={len(ramdisk)}",
            f"info stack region-type={region}", f"info extension flags={flags} cmdline={cmdline}",
            f"info boot-processor leaf={leaf} entry-rflags=0x[0-9a-f]+",
            f"done ok={v['checks'] or 'at least one'} failed=0")] + [""]
        for want, got in itertools.zip_longest(expected, others):
            if want is None or got is None or not re.fullmatch(want, got):
                self.fail(f"the test kernel's report: expected /{want}/, got {got!r}")
                break
        self.problems += [f"test kernel: {text}" for text in others
                          if text.startswith(("[ktest] FAIL", "[ktest] EXCEPTION"))]
        self.ending(EXIT_PASS)

    def example(self, rest, expect):
        """The example's summary: `expect` in order, a date, no PROBLEM."""
        texts, at = rest.decode("utf-8", "replace").split("\r\n"), 0
        self.problems += [f"the example found a problem: {t}" for t in texts if "PROBLEM" in t]
        if not any(text.startswith("  GetTime: ") for text in texts):
            self.fail("the example did not show the date from the firmware's GetTime")
        for regex in expect:
            found = next(((i, m) for i in range(at, len(texts))
                          if (m := re.fullmatch(regex, texts[i]))), None)
            if found is None:
                self.fail(f"the example's summary lacks a line /{regex}/ after line {at}")
                return
            at = found[0] + 1
            self.values.update({k: int(v) for k, v in found[1].groupdict().items()})

    def ending(self, status):
        """QEMU's exit status, or (None) a halt with interrupts off."""
        if status is None and not self.halted:
            self.fail("the machine did not stop halted with interrupts off")
        elif status is not None and self.exit_status != status:
            why = {EXIT_CHECK_FAILED: " (a failed check)", 0: " (a reset or triple fault)"}
            self.fail(f"QEMU's exit status is {self.exit_status}{why.get(self.exit_status, '')}, "
                      f"not {status}")


def example_summary(values, ramdisk_length, framebuffers):
    """The lines the example's summary must hold, in order."""
    lines = [rf"hello-kernel: booted by quillmor 1\.0\.0, handoff record at "
             rf"{values['handoff']:#x} \(version 1, 13544 bytes\)",
             rf"memory regions: {values['regions']}", r"modules: 1",
             rf"  initrd: .* \({ramdisk_length} bytes\) at 0xffff8[0-9a-f]+, loaded from "
             r"\\boot\\initrd\.ustar"]
    if framebuffers:
        lines += [r"framebuffer: (?P<width>\d+)x(?P<height>\d+), pitch (?P<pitch>\d+) bytes, "
                  r"32 bits per pixel, at 0xffff8[0-9a-f]+",
                  r"  pixel layout: red bits 16-23, green bits 8-15, blue bits 0-7"]
    lines += [rf'ACPI: RSDP at {values["rsdp"]:#x}: signature "RSD PTR ", revision [2-9], '
              r'checksums ok, .*', r"boot processor: id \d+ .*"]
    return lines + [r"framebuffer: drawn .*"] * framebuffers + [re.escape(EXAMPLE_DONE)]


def expected_picture(width, height, frame=8):
    """{(x, y): rgb} at telling places of the example's picture (the layout of
    examples/hello-kernel/src/picture.h): frame, gradient, squares."""
    def gradient(x, y):
        return x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), 64

    points = {p: (255, 255, 255) for p in (
        (0, 0), (width - 1, height - 1), (width // 2, frame - 1), (frame - 1, height // 2),
        (width - frame, height // 2), (width // 2, height - frame))}
    points.update({p: gradient(*p) for p in (
        (width // 8, height // 8), (width * 7 // 8, height * 7 // 8), (frame, frame),
        (width - frame - 1, height - frame - 1))})
    side, top = min(width, height) // 4, height // 2 - min(width, height) // 8
    for index, colour in enumerate(((255, 0, 0), (0, 255, 0), (0, 0, 255))):
        left = (index + 1) * width // 4 - side // 2
        for x, y in ((left, top), (left + side // 2, top + side // 2),
                     (left + side - 1, top + side - 1)):
            points[x, y] = colour
        for x, y in ((left - 1, top), (left + side, top + side - 1), (left, top + side)):
            points[x, y] = gradient(x, y)
    return points


def picture(verdict, ppm):
    """The screenshot (a binary PPM, as QEMU's screendump writes it) against
    the picture the example must draw where the record's geometry puts it."""
    fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    size, pixels = (int(fields[1]), int(fields[2])), ppm[fields.end():]
    if size != (verdict.values.get("width"), verdict.values.get("height")):
        verdict.fail(f"the display shows {size}, the record says {verdict.values}")
        return
    for (x, y), colour in expected_picture(*size).items():
        at = 3 * (y * size[0] + x)
        if tuple(pixels[at:at + 3]) != colour:
            verdict.fail(f"pixel ({x}, {y}): expected {colour}, shows {tuple(pixels[at:at + 3])}")


def fnv1a64(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def judge(item, result, files):
    """The verdict on one run of the scenario `item` whose volume held `files`."""
    verdict = Verdict(result.raw, result.exit_status, result.halted)
    if item.ending == "outcome":
        verdict.outcome = verdict.own_kernel(result.ending)
        return verdict
    if item.ending == "refused":
        if PREFIX.encode() in result.raw:
            verdict.fail("the loader wrote to the serial port: an unsigned image ran")
        if not SECURE_BOOT_REFUSAL.search(result.raw):
            verdict.fail("the firmware never refused the disk's boot option")
        return verdict
    kernel, ramdisk = files[KERNEL_FILE], files[RAMDISK_FILE]
    expected = boot_lines(kernel, ramdisk, item.framebuffers, files.get(CMDLINE_FILE))
    if item.ending == "stop":
        count, text = item.expect
        if verdict.lines(expected[:count] + [line(text)]):
            verdict.fail("more output after the fatal line")
        verdict.ending(None)
        return verdict
    rest = verdict.lines(expected, item.preamble)
    if rest is None:
        return verdict
    if item.ending == "kernel":
        verdict.test_kernel(rest, ramdisk, **item.report)
    elif item.ending == "exception":
        verdict.problems += [f"after the handoff line, no firmware report with {text!r}"
                             for text in item.expect if text not in rest]
    elif item.ending == "crafted":
        if rest:
            verdict.fail("output after the handoff line, though the crafted kernel writes none")
        verdict.ending(EXIT_PASS)
    else:
        verdict.example(rest, example_summary(verdict.values, len(ramdisk), item.framebuffers))
        verdict.ending({"example": EXIT_PASS, "poweroff": 0, "picture": None}[item.ending])
        shot = result.run_dir / "screen.ppm"
        if item.ending == "picture" and shot.is_file():
            picture(verdict, shot.read_bytes())
        elif item.ending == "picture":
            verdict.fail("no screenshot: the 'framebuffer: drawn' line never came")
    return verdict
