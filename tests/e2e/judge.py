"""How the bench judges a run: the loader's log byte for byte from its banner
on (values only the run can know matched against the loader's number forms),
then what the kernel reports, then how the run ended. Shared by the scenario
table and `make run`.
"""

import re
import subprocess

from machine import EXIT_CHECK_FAILED, EXIT_PASS

PREFIX = "[quillmor] "
BANNER = b"\r\n" + (PREFIX + "引导加载器已由 Limine 引导管理器启动\r\n").encode()
KERNEL_PATH, RAMDISK_PATH = "\\boot\\mavotix.elf", "\\boot\\initrd.ustar"
DIRECT_MAP_OFFSET = 0xFFFF800000000000
KTEST = b"[ktest] "
EXAMPLE_DONE = "hello-kernel: done, no problems found"


def line(text):
    return (PREFIX + text + "\r\n").encode()


def reads(kernel, ramdisk):
    """The loader's lines through the ramdisk's file line."""
    return (BANNER + line("引导卷已打开") + line(f"读入 {KERNEL_PATH} {len(kernel)} 字节")
            + line(f"读入 {RAMDISK_PATH} {len(ramdisk)} 字节"))


_FORMS = {"hex": r"0x(?:0|[1-9a-f][0-9a-f]{0,15})", "dec": r"(?:0|[1-9][0-9]{0,19})"}


def pattern(template):
    """A loader line with {hex:NAME} and {dec:NAME} placeholders, as a regex
    that accepts exactly the loader's number forms."""
    parts = re.split(r"\{(hex|dec):(\w+)\}", PREFIX + template + "\r\n")
    regex = "".join(re.escape(parts[i]) + (f"(?P<{parts[i + 2]}>{_FORMS[parts[i + 1]]})"
                                           if i + 2 < len(parts) else "")
                    for i in range(0, len(parts), 3))
    return re.compile(regex.encode())


def plan(kernel_path, checker):
    """Entry, segment count, image size and virtual base of an accepted kernel,
    from quillmor-check (the loader's own check, built for the host)."""
    out = subprocess.run([str(checker), str(kernel_path)], capture_output=True, text=True).stdout
    fields = dict(re.findall(r"^\s+(entry point|virtual base|virtual end)\s+(0x[0-9a-f]+)", out,
                             re.M))
    segments = re.search(r"segments\s+(\d+) loadable", out)
    if len(fields) != 3 or not segments:
        raise ValueError(f"quillmor-check does not accept {kernel_path}:\n{out}")
    base, end = int(fields["virtual base"], 16), int(fields["virtual end"], 16)
    return int(fields["entry point"], 16), int(segments.group(1)), (end - base + 4095) & ~4095, base


def boot_lines(kernel, ramdisk, kernel_plan, framebuffers, cmdline_file=None):
    """A complete boot's lines; \\boot\\cmdline.txt, when there is one, is
    read after the kernel line, into the record's pages."""
    entry, segments, size, base = kernel_plan
    cmdline = [] if cmdline_file is None else [
        line(f"读入 \\boot\\cmdline.txt {len(cmdline_file)} 字节")]
    return [reads(kernel, ramdisk),
            pattern(f"内核入口={entry:#x} 段={segments} 映像={size} 字节，落点={{hex:landing}} → "
                    f"{base:#x}"), *cmdline,
            pattern("页表就绪 PML{dec:levels}={hex:root}"),
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
        self.problems, self.values, self.kernel = [], {}, {}

    def fail(self, text):
        self.problems.append(text)

    def own_kernel(self, exit_status, ending):
        """A kernel of the user's own: only the handover is judged. Returns
        what the kernel did, as QEMU ended (`exit_status`, None when the run
        was stopped) and with its last serial line."""
        handover = self.raw.find((PREFIX + "退出引导服务，交接给内核（").encode())
        if handover < 0:
            self.fail("the loader never handed over to the kernel")
            return "no handover"
        after = self.raw[handover:].partition(b"\r\n")[2].replace(b"\r", b"")
        lines = [text for text in after.split(b"\n") if text.strip()]
        last = lines[-1].decode("utf-8", "replace") if lines else "(none)"
        if exit_status is None:
            told = ending
        elif exit_status & 1:  # isa-debug-exit: QEMU exits with (value << 1) | 1
            told = f"wrote {exit_status >> 1:#x} to isa-debug-exit"
        else:
            told = f"QEMU exited with status {exit_status}"
        return f"{told}; its last serial line: {last}"

    def loader_output(self, preamble=None):
        start = self.raw.find(BANNER)
        if start < 0:
            self.fail("the loader's 65-byte banner never appeared")
            return None
        if self.raw.count(BANNER) > 1:
            self.fail("the banner appears more than once: the loader was started again")
        if preamble is not None and preamble not in self.raw[:start]:
            self.fail(f"before the banner the output lacks {show(preamble)}")
        return self.raw[start:]

    def exact(self, expected):
        """The loader's whole output, then a halt with interrupts off."""
        output = self.loader_output()
        if output is not None and output != expected:
            at = next((i for i, (a, b) in enumerate(zip(output, expected)) if a != b),
                      min(len(output), len(expected)))
            self.fail(f"the log differs from byte {at}: expected {show(expected[at:at + 60])}, "
                      f"got {show(output[at:at + 60])}")
        if not self.halted:
            self.fail("the machine did not stop halted with interrupts off")

    def lines(self, expected, preamble=None):
        """Each expected line (bytes, or a pattern) in order; returns the rest."""
        output = self.loader_output(preamble)
        if output is None:
            return None
        at = 0
        for number, want in enumerate(expected, 1):
            if isinstance(want, bytes):
                got = output[at:at + len(want)]
                if got != want:
                    self.fail(f"line {number}: expected {show(want)}, got {show(got)}")
                    return None
                at += len(want)
                continue
            found = want.match(output, at)
            if not found:
                got = output[at:output.find(b"\n", at) + 1]
                self.fail(f"line {number}: expected /{show(want.pattern)}/, got {show(got)}")
                return None
            self.values.update({k: int(v, 0) for k, v in found.groupdict().items()})
            at = found.end()
        return output[at:]

    def full_boot(self, kernel, ramdisk, kernel_plan, framebuffers, preamble=None,
                  cmdline_file=None):
        rest = self.lines(boot_lines(kernel, ramdisk, kernel_plan, framebuffers, cmdline_file),
                          preamble)
        if rest is None:
            return None
        v = self.values
        if v["landing"] % 4096 or v["root"] % 4096 or not 1 <= v["regions"] <= 512 or \
                not v["rsdp"] or (v["handoff"] - DIRECT_MAP_OFFSET) % 4096:
            self.fail(f"values out of their ranges: {v}")
        return rest

    def test_kernel(self, rest, ramdisk):
        """The test kernel's report: a [ktest] line each, the oracle's checks all
        passed, the registers the loader announced, the ramdisk's bytes, 'done'
        and the passing exit status."""
        texts = []
        for text in rest.split(b"\r\n")[:-1] if rest.endswith(b"\r\n") else [rest]:
            if not text.startswith(KTEST):
                self.fail(f"not a complete [ktest] line: {show(text)}")
            texts.append(text[len(KTEST):].decode("utf-8", "replace"))
        self.kernel["failed"] = [t for t in texts if t.startswith(("FAIL", "EXCEPTION"))]
        self.kernel["passed"] = sum(t.startswith("ok ") for t in texts)
        for text in self.kernel["failed"]:
            self.fail(f"test kernel: {text}")
        for text in texts:
            if text.startswith("info "):
                words = text[5:].split()
                group = words.pop(0) if words and "=" not in words[0] else ""
                self.kernel.setdefault(group, {}).update(w.split("=", 1) for w in words)
        registers = dict(re.findall(r"(rdi|cr3|levels)=(\w+)", next(
            (t for t in texts if t.startswith("rdi=")), "")))
        wanted = {"rdi": self.values.get("handoff"), "cr3": self.values.get("root"),
                  "levels": self.values.get("levels")}
        if {k: int(v, 0) for k, v in registers.items()} != wanted:
            self.fail(f"the kernel's registers {registers} are not the announced {wanted}")
        digest = {"ramdisk-fnv1a64": f"0x{fnv1a64(ramdisk):016x}", "length": str(len(ramdisk))}
        if self.kernel.get("", {}) != digest:
            self.fail(f"the kernel read another ramdisk than the volume's ({digest})")
        if not texts or texts[0] != "start" or not texts[-1].startswith("done ") or \
                not re.fullmatch(r"done ok=[1-9]\d* failed=0", texts[-1]):
            self.fail(f"the report does not run from 'start' to a passing 'done': {texts[-1:]}")
        self.ending(EXIT_PASS)

    def example(self, rest, expect, halts=False, status=EXIT_PASS):
        """The example kernel's summary: its key lines in order, the date from
        the firmware's GetTime, no PROBLEM; then a halt or the exit status."""
        texts = rest.decode("utf-8", "replace").split("\r\n")
        for text in texts:
            if "PROBLEM" in text:
                self.fail(f"the example found a problem: {text}")
        at = 0
        for regex in expect:
            found = next(((i, m) for i in range(at, len(texts))
                          if (m := re.fullmatch(regex, texts[i]))), None)
            if found is None:
                self.fail(f"the example's summary lacks a line /{regex}/ after line {at}")
                continue
            at = found[0] + 1
            self.kernel.update({k: int(v) for k, v in found[1].groupdict().items()})
        if not any(text.startswith("  GetTime: ") for text in texts):
            self.fail("the example did not show the date from the firmware's GetTime")
        if halts and not self.halted:
            self.fail("without isa-debug-exit the example should halt")
        elif not halts:
            self.ending(status)

    def ending(self, status):
        if self.exit_status != status:
            why = {EXIT_CHECK_FAILED: "a failed check",
                   0: "a reset or triple fault"}.get(self.exit_status, "")
            self.fail(f"QEMU's exit status is {self.exit_status}, not {status} {why}")


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


def read_ppm(data):
    """(width, height, RGB bytes) of a binary PPM, as QEMU's screendump writes it."""
    fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    width, height = int(fields.group(1)), int(fields.group(2))
    return width, height, data[fields.end():fields.end() + 3 * width * height]


def expected_picture(width, height, frame=8):
    """{(x, y): (what, rgb)} at telling places of the example's picture, from
    the layout in examples/hello-kernel/src/picture.h."""
    def gradient(x, y):
        return ("gradient", (x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), 64))
    points = {p: ("frame", (255, 255, 255)) for p in (
        (0, 0), (width - 1, height - 1), (width // 2, frame - 1), (frame - 1, height // 2),
        (width - frame, height // 2), (width // 2, height - frame))}
    points.update({p: gradient(*p) for p in (
        (width // 8, height // 8), (width * 7 // 8, height * 7 // 8), (frame, frame),
        (width - frame - 1, height - frame - 1))})
    side, top = min(width, height) // 4, height // 2 - min(width, height) // 8
    for index, colour in enumerate(((255, 0, 0), (0, 255, 0), (0, 0, 255))):
        left = (index + 1) * width // 4 - side // 2
        for p in ((left, top), (left + side // 2, top + side // 2),
                  (left + side - 1, top + side - 1)):
            points[p] = ("square", colour)
        for p in ((left - 1, top), (left + side, top + side - 1), (left, top + side)):
            points[p] = gradient(*p)
    return points


def picture(verdict, ppm):
    """The screenshot against the picture the example must draw where the
    record's geometry puts it."""
    width, height, pixels = read_ppm(ppm)
    if (width, height) != (verdict.kernel.get("width"), verdict.kernel.get("height")):
        verdict.fail(f"the display shows {width}x{height}, the record says "
                     f"{verdict.kernel.get('width')}x{verdict.kernel.get('height')}")
        return
    for (x, y), (what, colour) in expected_picture(width, height).items():
        got = tuple(pixels[3 * (y * width + x):3 * (y * width + x) + 3])
        if got != colour:
            verdict.fail(f"pixel ({x}, {y}) of the {what}: expected {colour}, shows {got}")


def fnv1a64(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value
