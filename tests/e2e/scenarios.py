"""The end-to-end scenarios: for each, what goes on the boot volume, which
machine boots it, and what the serial log must say byte for byte.

The loader's log begins at its 65-byte banner; the firmware's and a boot
manager's own text before it is ignored. Loader lines are compared as
bytes. Where a line carries a value that only the run can know (an address
the firmware chose, a count from the firmware's memory map), the line is
matched against a template whose placeholders accept exactly the loader's
number forms: "0x" and lower-case hexadecimal without leading zeros, or
decimal without leading zeros.
"""

import dataclasses
import io
import re
import shutil
import tarfile
import tempfile
from pathlib import Path

import kernel_image
from kernel_image import Segment, build_elf, plan_kernel
from machine import (EXIT_CHECK_FAILED, EXIT_EXCEPTION, EXIT_PASS, BenchError, Machine,
                     boot, package_file, run_tool)

# --------------------------------------------------------------------------
# The loader's log

PREFIX = "[quillmor] "
BANNER = b"\r\n" + (PREFIX + "引导加载器已由 Limine 引导管理器启动\r\n").encode()
assert len(BANNER) == 65

KERNEL_PATH = "\\boot\\mavotix.elf"
RAMDISK_PATH = "\\boot\\initrd.ustar"
KERNEL_FILE = "boot/mavotix.elf"
RAMDISK_FILE = "boot/initrd.ustar"

DIRECT_MAP_OFFSET = kernel_image.DIRECT_MAP_OFFSET
PAGE = kernel_image.PAGE

REJECTION_NAMES = ("NotElf64", "NotX86_64", "NotExecutable", "BadHeader", "SegmentOutOfFile",
                   "TooManySegments", "EmptyImage")


def log_line(text):
    return (PREFIX + text + "\r\n").encode()


def volume_opened():
    return log_line("引导卷已打开")


def file_read(path, size):
    return log_line(f"读入 {path} {size} 字节")


def cannot_open(path):
    return log_line(f"打不开：{path}")


def fatal(message):
    return log_line(f"装载失败：{message}")


def rejected(name):
    return log_line(f"内核映像不合规：{name}")


_FORMS = {"hex": rb"0x(?:0|[1-9a-f][0-9a-f]{0,15})", "dec": rb"(?:0|[1-9][0-9]{0,19})",
          "levels": rb"[45]"}


class LinePattern:
    """One loader line with placeholders {hex:NAME}, {dec:NAME} and
    {levels:NAME} (the paging depth, 4 or 5)."""

    def __init__(self, template):
        self.text = PREFIX + template + "\r\n"
        parts = re.split(r"\{(hex|dec|levels):(\w+)\}", self.text)
        regex = b""
        self.kinds = {}
        for index in range(0, len(parts), 3):
            regex += re.escape(parts[index].encode())
            if index + 2 < len(parts):
                kind, name = parts[index + 1], parts[index + 2]
                self.kinds[name] = kind
                regex += b"(?P<" + name.encode() + b">" + _FORMS[kind] + b")"
        self.regex = re.compile(regex, re.DOTALL)

    def match(self, line):
        found = self.regex.fullmatch(line)
        if found is None:
            return None
        return {name: int(found.group(name), 16 if kind == "hex" else 10)
                for name, kind in self.kinds.items()}


def kernel_line(plan):
    return LinePattern(f"内核入口={plan.entry:#x} 段={plan.segments} 映像={plan.image_size} "
                       f"字节，落点={{hex:landing}} → {plan.virtual_base:#x}")


def handoff_patterns(framebuffers):
    """The lines from the page-table line to the handoff line. The root is a
    PML5 when the firmware left five-level paging on (CR4.LA57)."""
    return [LinePattern("页表就绪 PML{levels:levels}={hex:pml4}"),
            LinePattern("第二轮内存图 段数={dec:descriptors}"),
            LinePattern("切割区间=2"),
            LinePattern("内存区={dec:regions} 自己占页={dec:ledger} RSDP={hex:rsdp} "
                        f"帧缓冲={framebuffers}"),
            LinePattern("退出引导服务，交接给内核（交接结构={hex:handoff}）")]


# --------------------------------------------------------------------------
# Showing bytes in diagnostics

def show(data):
    """Bytes as readable text: UTF-8 where valid, everything else escaped,
    so that CR, LF, stray bytes and look-alike characters are all visible."""
    out = []
    for char in data.decode("utf-8", "surrogateescape"):
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        elif char == "\\":
            out.append("\\\\")
        elif char == "\r":
            out.append("\\r")
        elif char == "\n":
            out.append("\\n")
        elif char.isprintable():
            out.append(char)
        elif code < 0x100:
            out.append(f"\\x{code:02x}")
        else:
            out.append(f"\\u{code:04x}")
    return "".join(out)


def show_lines(data, limit=120):
    """Numbered lines; the banner's leading line break counts as line 1."""
    lines = split_lines(data)
    shown = [f"  {number:4} | {show(line)}" for number, line in enumerate(lines[:limit], 1)]
    if len(lines) > limit:
        shown.append(f"       | ... {len(lines) - limit} more lines")
    return "\n".join(shown) if shown else "       | (nothing)"


def split_lines(data):
    """Lines up to and including each LF; a last line without LF stays as it is."""
    lines, start = [], 0
    while start < len(data):
        end = data.find(b"\n", start)
        if end < 0:
            lines.append(data[start:])
            break
        lines.append(data[start:end + 1])
        start = end + 1
    return lines


def describe_difference(expected, actual):
    """Where two byte strings first differ, with the bytes around that place."""
    limit = min(len(expected), len(actual))
    at = next((i for i in range(limit) if expected[i] != actual[i]), limit)
    if at == len(expected) == len(actual):
        return "identical"
    line_no = actual.count(b"\n", 0, at) + 1
    return (f"first difference at byte {at} (line {line_no}): "
            f"expected {expected[at:at + 24].hex(' ') or 'end of output'}, "
            f"actual {actual[at:at + 24].hex(' ') or 'end of output'}")


# --------------------------------------------------------------------------
# Inputs

def fnv1a64(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


_sample_ramdisk = None


def sample_ramdisk():
    """A small, real ustar archive (30720 bytes: 7.5 pages, so the ramdisk's
    end falls inside a page), always the same bytes."""
    global _sample_ramdisk
    if _sample_ramdisk is None:
        members = [
            ("etc/motd", "quillmor 端到端测试的初始内存盘\n".encode()),
            ("etc/hello.txt", b"".join(b"line %04d of the sample ramdisk\n" % i
                                       for i in range(90))),
            ("data/pattern.bin", bytes((i * 7 + (i >> 8) * 13) & 0xFF for i in range(16384))),
        ]
        buffer = io.BytesIO()
        with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as tar:
            for name, data in members:
                info = tarfile.TarInfo(name)
                info.size = len(data)
                info.mtime = 1_700_000_000
                info.mode = 0o644
                info.uname = info.gname = "root"
                tar.addfile(info, io.BytesIO(data))
        _sample_ramdisk = buffer.getvalue()
        assert len(_sample_ramdisk) % PAGE != 0
    return _sample_ramdisk


def odd_ramdisk():
    """An opaque ramdisk of an odd length; the loader never looks inside."""
    return bytes((i * 31 + 17) & 0xFF for i in range(70001))


# Crafted kernels live at the usual higher-half link address.
LINK_BASE = 0xFFFFFFFF80000000

# Entry code of the crafted kernels that are rejected anyway: leave QEMU
# through isa-debug-exit with the passing value, then halt for good.
#   mov al, 0x10; out 0xf4, al; 1: cli; hlt; jmp 1b
EXIT_CODE = bytes.fromhex("b010e6f4faf4ebfc")

# Entry code of the valid crafted kernel, which checks its own placement and
# its entry state: the first and last quadwords of .rodata, the first
# quadword and the last byte of .data, every byte of the .bss tail, the zero
# fill after the code, and RSP 16-byte aligned as the loader promises (the
# code pushes nothing, so RSP is still the one it was entered with). It
# leaves QEMU with 0x10 when all match and 0x11 when one does not.
#   entry: movabs rax, 0x0021617461646f72        ; "rodata!\0"
#          lea rbx, [rip + entry + 0x1000]
#          cmp [rbx], rax / jne fail / cmp [rbx + 0x7f8], rax / jne fail
#          lea rbx, [rip + entry + 0x3000]
#          movabs rax, 0x0706050403020100
#          cmp [rbx], rax / jne fail / cmp byte ptr [rbx + 0x233], 0x5a / jne fail
#          lea rcx, [rbx + 0x234] / lea rdx, [rbx + 0x2345]
#   1:     cmp byte ptr [rcx], 0 / jne fail / inc rcx / cmp rcx, rdx / jb 1b
#          cmp qword ptr [rip + entry + 0xff8], 0 / jne fail
#          test spl, 0xf / jne fail
#          mov al, 0x10 / jmp 2f
#   fail:  mov al, 0x11
#   2:     out 0xf4, al
#   3:     cli / hlt / jmp 3b
PLACEMENT_CHECK_CODE = bytes.fromhex(
    "48b8726f646174612100488d1def0f00004839037557483983f8070000754e488d1dda2f0000"
    "48b80001020304050607483903753880bb330200005a752f488d8b34020000488d9345230000"
    "803900751c48ffc14839d172f348833d970f000000750a40f6c40f7504b010eb02b011e6f4faf4ebfc")


def crafted_kernel(base=LINK_BASE, entry=None, table_at_end=True):
    """A valid kernel with three loadable segments listed out of address
    order (.data with a .bss tail, code, .rodata), a page between .rodata
    and .data that no segment covers, and headers the loader must skip (a
    note and a stack marker below the image, a loadable header of memory size
    0). Program headers are 64 bytes apart and the table ends the file with
    only the 56 bytes of its last entry present. Its code checks where the
    loader put the segments (PLACEMENT_CHECK_CODE)."""
    segments = [
        Segment(vaddr=base - 0x100000, memsz=32, data=b"note" * 8, type=kernel_image.PT_NOTE),
        Segment(vaddr=base + 0x3000, memsz=0x2345, data=bytes(range(256)) * 2 + b"\x5a" * 52),
        Segment(vaddr=base - 0x200000, memsz=0),
        Segment(vaddr=base, memsz=0x1000, data=PLACEMENT_CHECK_CODE),
        Segment(vaddr=base + 0x1000, memsz=0x800, data=b"rodata!\0" * 256),
        Segment(vaddr=0, memsz=0, type=kernel_image.PT_GNU_STACK),
    ]
    return build_elf(segments, base if entry is None else entry, phentsize=64,
                     table_at_end=table_at_end, cut=8 if table_at_end else 0)


def _pages(count, base=LINK_BASE, first=EXIT_CODE):
    return [Segment(vaddr=base + i * PAGE, memsz=PAGE, data=first if i == 0 else bytes([i]) * 64)
            for i in range(count)]


def rejected_kernels():
    """One crafted file per rejection: name -> (error, file bytes, what it
    tests). Each carries, besides its own fault, faults that only later tests
    would catch, so a loader that tests in another order names another error."""
    good = crafted_kernel
    far = 1 << 40  # a file offset far beyond the end of every crafted file
    kernels = {
        "NotElf64": build_elf(_pages(2), LINK_BASE, ei_class=1, machine=kernel_image.EM_AARCH64,
                              e_type=kernel_image.ET_DYN),
        "NotX86_64": build_elf(_pages(2), LINK_BASE, machine=kernel_image.EM_AARCH64,
                               e_type=kernel_image.ET_DYN, phentsize=40),
        "NotExecutable": build_elf(_pages(2), LINK_BASE, e_type=kernel_image.ET_DYN, phentsize=40),
        "BadHeader": build_elf(_pages(2), LINK_BASE, phentsize=40, phnum=0),
        "SegmentOutOfFile": build_elf(
            _pages(8) + [Segment(vaddr=LINK_BASE + 8 * PAGE, memsz=PAGE, data=b"", filesz=32,
                                 offset=far)], LINK_BASE),
        "TooManySegments": build_elf(
            _pages(9) + [Segment(vaddr=0, memsz=16, type=kernel_image.PT_NOTE)],
            LINK_BASE + 0x100000, table_at_end=True, cut=1),
        "EmptyImage": build_elf(
            [Segment(vaddr=LINK_BASE, memsz=100, data=b"", filesz=200, offset=far,
                     type=kernel_image.PT_NOTE),
             Segment(vaddr=LINK_BASE, memsz=0, data=b"", filesz=4096, offset=far),
             Segment(vaddr=0, memsz=0, type=kernel_image.PT_GNU_STACK)], LINK_BASE),
        "BadHeader-short": good()[:63],
        "BadHeader-table-past-end": build_elf(
            _pages(2) + [Segment(vaddr=0, memsz=16, type=kernel_image.PT_NOTE)], LINK_BASE,
            table_at_end=True, cut=1),
        "BadHeader-filesz-over-memsz": build_elf(
            [*_pages(1), Segment(vaddr=LINK_BASE + PAGE, memsz=PAGE, data=b"", filesz=2 * PAGE,
                                 offset=far)], LINK_BASE),
        "BadHeader-entry-outside": good(entry=LINK_BASE + 0x3000 + 0x2345),
        "BadHeader-noncanonical": build_elf(
            _pages(2, base=(1 << 47) - PAGE), (1 << 47) - PAGE),
        "BadHeader-unaligned-base": good(base=LINK_BASE + 0x80),
    }
    tests = {
        "NotElf64": "a 32-bit ELF file (also for another machine, and a shared object)",
        "NotX86_64": "an AArch64 file (also a shared object with 40-byte program headers)",
        "NotExecutable": "a shared object (also with 40-byte program headers)",
        "BadHeader": "40-byte program headers (also no program header at all)",
        "SegmentOutOfFile": "eight good segments, then a ninth whose bytes lie beyond the file",
        "TooManySegments": "nine loadable segments (also an entry point outside them, "
                           "and a last header cut short by the end of the file)",
        "EmptyImage": "only headers that are skipped: a note and a loadable header of memory "
                      "size 0, both claiming more file bytes than memory, beyond the file",
        "BadHeader-short": "a 63-byte file",
        "BadHeader-table-past-end": "a non-loadable last program header cut short by the end "
                                    "of the file",
        "BadHeader-filesz-over-memsz": "a segment with more file bytes than memory bytes "
                                       "(also beyond the file)",
        "BadHeader-entry-outside": "an entry point just past the end of the last segment",
        "BadHeader-noncanonical": "a segment reaching the first non-canonical address",
        "BadHeader-unaligned-base": "a lowest loadable address that is not page-aligned",
    }
    result = {}
    for key, data in kernels.items():
        error = key.split("-")[0]
        actual = plan_kernel(data)
        if actual != error:
            raise AssertionError(f"crafted kernel {key} yields {actual}, not {error}")
        result[key] = (error, data, tests[key])
    return result


# --------------------------------------------------------------------------
# Checking a run

class Report:
    """What a scenario found wrong in one run, plus the values it read."""

    def __init__(self, result):
        self.result = result
        self.problems = []
        self.values = {}
        self.kernel = {}

    @property
    def passed(self):
        return not self.problems

    def fail(self, text):
        self.problems.append(text)

    def render(self, scenario_name):
        result = self.result
        start = result.raw.find(BANNER)
        parts = [f"scenario {scenario_name}: FAILED"]
        parts += [f"  - {problem}" for problem in self.problems]
        parts.append(f"  run ended: {result.ending()} after {result.duration:.1f} s")
        if start >= 0:
            parts.append("  serial output from the banner on:")
            parts.append(show_lines(result.raw[start:]))
        else:
            parts.append(f"  last bytes of the serial output ({len(result.raw)} bytes in all):")
            parts.append(show_lines(result.raw[-3000:]))
        parts.append(f"  artifacts kept in {result.run_dir}")
        return "\n".join(parts)


def loader_output(report):
    """The serial bytes from the loader's banner on, or None."""
    raw = report.result.raw
    start = raw.find(BANNER)
    if start < 0:
        report.fail("the loader's 65-byte banner never appeared on the serial port")
        return None
    count = raw.count(BANNER)
    if count > 1:
        report.fail(f"the banner appears {count} times: the loader was started again "
                    "(did it return to the firmware?)")
    return raw[start:]


def expect_exact(report, actual, expected, what="the loader's output"):
    if actual != expected:
        report.fail(f"{what} differs from the expected bytes "
                    f"({len(actual)} bytes instead of {len(expected)}); "
                    f"{describe_difference(expected, actual)}\n"
                    f"    expected:\n{show_lines(expected)}")
        return False
    return True


def expect_halt(report):
    result = report.result
    if not result.halted:
        report.fail(f"the machine should have stopped halted with interrupts disabled; "
                    f"instead: {result.ending()}")


def match_lines(report, data, patterns, first_line=3):
    """Matches the lines at the start of `data` one by one; returns the values
    read and the bytes after the last matched line, or (None, None)."""
    values, position = {}, 0
    for index, pattern in enumerate(patterns):
        end = data.find(b"\n", position)
        line = data[position:] if end < 0 else data[position:end + 1]
        found = pattern.match(line) if isinstance(pattern, LinePattern) else (
            {} if line == pattern else None)
        if found is None:
            wanted = pattern.text.encode() if isinstance(pattern, LinePattern) else pattern
            report.fail(f"line {first_line + index} of the output is not the expected one\n"
                        f"    expected: {show(wanted)}\n"
                        f"    actual:   {show(line) if line else '(end of output)'}")
            return None, None
        values.update(found)
        position += len(line)
    return values, data[position:]


KTEST = b"[ktest] "


def check_kernel_report(report, rest, expect):
    """The test kernel's lines after the handoff line and its exit status."""
    result = report.result
    lines = split_lines(rest)
    texts = []
    for line in lines:
        if not line.startswith(KTEST) or not line.endswith(b"\r\n"):
            report.fail(f"after the handoff line, output that is not a complete [ktest] line: "
                        f"{show(line)}")
            continue
        texts.append(line[len(KTEST):-2].decode("utf-8", "replace"))
    if not texts:
        report.fail("the test kernel wrote nothing")
    elif texts[0] != "start":
        report.fail(f"the test kernel's first line is {texts[0]!r}, not 'start'")

    for text in texts:
        if text.startswith("FAIL ") or text.startswith("EXCEPTION"):
            report.fail(f"test kernel: {text}")
        if text.startswith("ok "):
            report.kernel.setdefault("ok", []).append(text[3:])
        if text.startswith("info "):
            # "info key=value ..." or "info group key=value ..."
            info = report.kernel.setdefault("info", {})
            words = text[5:].split()
            if words and "=" not in words[0]:
                info = info.setdefault(words.pop(0), {})
            info.update(word.split("=", 1) for word in words if "=" in word)

    registers = [t for t in texts if re.match(r"rdi=", t)]
    if not registers:
        report.fail("the test kernel did not report rdi, cr3, rsp and the paging levels")
    else:
        found = {key: int(value, 0) for key, value in
                 re.findall(r"\b(rdi|cr3|rsp|levels)=(0x[0-9a-fA-F]+|\d+)", registers[0])}
        for register, want in (("rdi", expect["handoff"]), ("cr3", expect["pml4"]),
                               ("levels", expect["levels"])):
            if register not in found:
                report.fail(f"the test kernel's register line lacks {register}: {registers[0]}")
            elif found[register] != want:
                report.fail(f"{register} at the kernel's entry is {found[register]:#x}, "
                            f"but the loader announced {want:#x}")

    ramdisk = expect["ramdisk"]
    hashes = [re.search(r"ramdisk-fnv1a64=0x([0-9a-fA-F]+)\s+length=(\d+)", t) for t in texts]
    hashes = [h for h in hashes if h]
    if not hashes:
        report.fail("the test kernel did not report the ramdisk's hash")
    else:
        got_hash, got_length = int(hashes[0].group(1), 16), int(hashes[0].group(2))
        if (got_hash, got_length) != (fnv1a64(ramdisk), len(ramdisk)):
            report.fail(f"the kernel read a module of {got_length} bytes with FNV-1a "
                        f"{got_hash:#018x}; the ramdisk on the volume has {len(ramdisk)} bytes "
                        f"with FNV-1a {fnv1a64(ramdisk):#018x}")

    done = [t for t in texts if t.startswith("done ")]
    if not done:
        report.fail("the test kernel never wrote its 'done' line")
    else:
        counts = dict(re.findall(r"(ok|failed)=(\d+)", done[-1]))
        report.kernel["passed"] = int(counts.get("ok", 0))
        report.kernel["failed"] = int(counts.get("failed", -1))
        if counts.get("failed") != "0" or int(counts.get("ok", 0)) == 0:
            report.fail(f"test kernel verdict: {done[-1]}")
        if texts[-1] != done[-1]:
            report.fail("the test kernel wrote more after its 'done' line")

    status = result.exit_status
    if status != EXIT_PASS:
        why = {EXIT_CHECK_FAILED: "the test kernel reported a failed check",
               EXIT_EXCEPTION: "the test kernel took a CPU exception",
               0: "QEMU exited on a reset or triple fault (-no-reboot)"}.get(status)
        if status is None:
            why = result.ending()
        report.fail(f"QEMU's exit status is {status}, not {EXIT_PASS}"
                    + (f": {why}" if why else ""))


def check_full_boot(report, kernel, ramdisk, framebuffers, max_ledger=None, preamble=None,
                    kernel_check=check_kernel_report, command_line_file=None):
    """Every progress line of a successful boot in order, nothing else from
    the loader, then what the kernel reports, judged by `kernel_check`
    (by default: a test kernel that passes all its checks). `preamble`,
    when given, is text that the firmware or boot manager must have written
    before the banner: proof that the boot went the way the scenario says."""
    output = loader_output(report)
    if output is None:
        return
    raw = report.result.raw
    if preamble is not None and preamble not in raw[:len(raw) - len(output)]:
        report.fail(f"before the banner the output lacks {show(preamble)!r}: the loader was not "
                    "started the way this scenario sets up")
    plan = plan_kernel(kernel)
    if not isinstance(plan, kernel_image.Plan):
        raise BenchError(f"the test kernel is not a kernel the loader accepts ({plan})")
    # The command-line file is read into the record's pages, once they exist.
    command_line_read = ([] if command_line_file is None
                         else [file_read(COMMAND_LINE_PATH, len(command_line_file))])
    patterns = [volume_opened(), file_read(KERNEL_PATH, len(kernel)),
                file_read(RAMDISK_PATH, len(ramdisk)), kernel_line(plan), *command_line_read,
                *handoff_patterns(framebuffers)]
    values, rest = match_lines(report, output[len(BANNER):], patterns)
    if values is None:
        return
    report.values.update(values)

    def want(condition, text):
        if not condition:
            report.fail(text)

    landing, pml4, handoff = values["landing"], values["pml4"], values["handoff"]
    want(landing and landing % PAGE == 0, f"the landing area {landing:#x} is not page-aligned")
    want(pml4 and pml4 % PAGE == 0, f"the page-table root {pml4:#x} is not page-aligned")
    want(values["descriptors"] > 0, "the second memory map has no descriptors")
    want(1 <= values["regions"] <= 512, f"region count {values['regions']} is out of 1..512")
    want(values["ledger"] >= 1, "the page ledger is empty, yet the loader allocated memory")
    want(values["rsdp"] != 0, "no ACPI root pointer, yet the firmware publishes ACPI 2.0 tables")
    record = handoff - DIRECT_MAP_OFFSET
    want(handoff >= DIRECT_MAP_OFFSET and record % PAGE == 0 and record < 1 << 47,
         f"the handoff pointer {handoff:#x} is not a page in the direct map")
    if max_ledger is not None:
        want(values["ledger"] <= max_ledger,
             f"the page ledger holds {values['ledger']} ranges, more than {max_ledger}")
    kernel_check(report, rest, {"handoff": handoff, "pml4": pml4, "ramdisk": ramdisk,
                                "levels": values["levels"], "rsdp": values["rsdp"],
                                "regions": values["regions"], "framebuffers": framebuffers})


# --------------------------------------------------------------------------
# Scenarios

@dataclasses.dataclass
class Context:
    loader: Path
    kernel: Path
    run_dir: Path = None  # the run's own directory, for files made on the way

    def test_kernel(self):
        if not self.kernel.is_file():
            raise BenchError(f"kernel not found: {self.kernel} (`make` builds it)")
        return self.kernel.read_bytes()


@dataclasses.dataclass
class Scenario:
    name: str
    summary: str
    files: object          # Context -> {volume path: bytes or None}, or a disk image Path
    check: object          # (Report, Context, files) -> None
    machine: Machine = dataclasses.field(default_factory=Machine)
    deadline: float = 90.0
    labels: tuple = ("e2e",)
    on_stop: object = None  # machine.boot's last look before QEMU is stopped
    end_when: object = None  # serial bytes -> True once nothing more will come

    @property
    def timeout(self):
        """CTest's limit: the bench's own deadline plus room to report."""
        return int(self.deadline) + 60


SCENARIOS = {}


def scenario(*args, **kwargs):
    item = Scenario(*args, **kwargs)
    assert item.name not in SCENARIOS
    SCENARIOS[item.name] = item


def _prefix_check(expected):
    def check(report, context, files):
        output = loader_output(report)
        if output is not None:
            expect_exact(report, output[:len(expected)], expected,
                         "the start of the loader's output")
    return check


def _exact_check(expected_of_files):
    def check(report, context, files):
        output = loader_output(report)
        if output is not None:
            expect_exact(report, output, expected_of_files(files))
        expect_halt(report)
    return check


def _reads(files):
    return (BANNER + volume_opened() + file_read(KERNEL_PATH, len(files[KERNEL_FILE]))
            + file_read(RAMDISK_PATH, len(files[RAMDISK_FILE])))


# The first stages, on a volume that holds nothing but the loader.
scenario("volume-opened",
         "banner, then the boot volume opened (a volume with only the loader)",
         files=lambda c: {},
         check=_prefix_check(BANNER + volume_opened()))

scenario("missing-kernel",
         "no kernel file: the open failure line names the kernel path, then the halt",
         files=lambda c: {RAMDISK_FILE: sample_ramdisk()},
         check=_exact_check(lambda f: BANNER + volume_opened() + cannot_open(KERNEL_PATH)))


# Reading the files, checking and placing the kernel image.
def _loading_lines(report, files, more=()):
    """Matches the log through the kernel line (and `more` lines after it);
    returns the bytes after the last matched line, or None."""
    output = loader_output(report)
    if output is None:
        return None
    kernel, ramdisk = files[KERNEL_FILE], files[RAMDISK_FILE]
    plan = plan_kernel(kernel)
    if not isinstance(plan, kernel_image.Plan):
        raise BenchError(f"the kernel on the volume is not acceptable ({plan})")
    values, rest = match_lines(report, output[len(BANNER):],
                               [volume_opened(), file_read(KERNEL_PATH, len(kernel)),
                                file_read(RAMDISK_PATH, len(ramdisk)), kernel_line(plan), *more])
    if values is None:
        return None
    report.values.update(values)
    if values["landing"] == 0 or values["landing"] % PAGE:
        report.fail(f"the landing area {values['landing']:#x} is not page-aligned")
    return rest


def _check_load(report, context, files):
    _loading_lines(report, files)


def _check_crafted_boot(report, context, files):
    rest = _loading_lines(report, files, more=handoff_patterns(1))
    if rest is None:
        return
    if rest:
        report.fail(f"output after the handoff line, though the crafted kernel writes nothing:\n"
                    f"{show_lines(rest)}")
    status = report.result.exit_status
    if status == EXIT_CHECK_FAILED:
        report.fail("the crafted kernel found its segments misplaced (.rodata, .data, the .bss "
                    "tail or the zero fill after its code holds the wrong bytes) or RSP not "
                    "16-byte aligned at its entry")
    elif status != EXIT_PASS:
        report.fail(f"the crafted kernel did not report back: {report.result.ending()}")


scenario("load-test-kernel",
         "the test kernel and an opaque 70001-byte ramdisk: both file lines, the kernel line",
         files=lambda c: {KERNEL_FILE: c.test_kernel(), RAMDISK_FILE: odd_ramdisk()},
         check=_check_load)

scenario("crafted-kernel-placement",
         "a kernel with three segments out of address order, an uncovered page, .bss, skipped "
         "headers and 64-byte header slots: the kernel line, a complete boot, and the "
         "kernel's own check of where its segments landed",
         files=lambda c: {KERNEL_FILE: crafted_kernel(), RAMDISK_FILE: sample_ramdisk()},
         check=_check_crafted_boot)

def _check_refused_over_direct_map(report, context, files):
    rest = _loading_lines(report, files, more=[fatal("内核链接地址与直接映射重叠")])
    if rest:
        report.fail(f"output after the fatal line:\n{show_lines(rest)}")
    expect_halt(report)


scenario("kernel-over-direct-map",
         "a kernel linked at 0xffff800000100000, where the direct map puts the RAM at 1 MiB: "
         "refused after the kernel line, before any table is built",
         files=lambda c: {KERNEL_FILE: crafted_kernel(base=DIRECT_MAP_OFFSET + 0x100000),
                          RAMDISK_FILE: sample_ramdisk()},
         check=_check_refused_over_direct_map)

scenario("missing-ramdisk",
         "no ramdisk: the open failure line right after the kernel's file line",
         files=lambda c: {KERNEL_FILE: crafted_kernel()},
         check=_exact_check(lambda f: BANNER + volume_opened()
                            + file_read(KERNEL_PATH, len(f[KERNEL_FILE]))
                            + cannot_open(RAMDISK_PATH)))

scenario("empty-ramdisk",
         "an empty ramdisk beside a kernel that is no ELF file: the ramdisk is read (and "
         "found empty) before the kernel is examined",
         files=lambda c: {KERNEL_FILE: b"this is not a kernel image\n" * 4, RAMDISK_FILE: b""},
         check=_exact_check(lambda f: BANNER + volume_opened()
                            + file_read(KERNEL_PATH, len(f[KERNEL_FILE]))
                            + fatal("文件为空")))

for _key, (_error, _data, _what) in rejected_kernels().items():
    scenario(f"kernel-{_key}",
             f"{_error}: {_what}",
             files=lambda c, data=_data: {KERNEL_FILE: data, RAMDISK_FILE: sample_ramdisk()},
             check=_exact_check(lambda f, error=_error: _reads(f) + rejected(error)))


# A kernel whose first instruction is ud2: before it has an IDT of its own,
# the firmware's handler must be able to report the exception (OVMF's reads
# the local APIC first) instead of faulting again in silence.
UD2_REPORT = b"!!!! X64 Exception Type - 06(#UD - Invalid Opcode)"
UD2_RIP = b"RIP  - FFFFFFFF80000000"


def _check_ud2_report(report, context, files):
    rest = _loading_lines(report, files, more=handoff_patterns(1))
    if rest is not None and (UD2_REPORT not in rest or UD2_RIP not in rest):
        report.fail("after the handoff line, no firmware report of #UD at the kernel's entry")


scenario("kernel-ud2-firmware-report",
         "a kernel whose first instruction is ud2: OVMF's exception report on the serial port",
         files=lambda c: {KERNEL_FILE: build_elf([Segment(vaddr=LINK_BASE, memsz=PAGE,
                                                          data=b"\x0f\x0b")], LINK_BASE),
                          RAMDISK_FILE: sample_ramdisk()},
         check=_check_ud2_report, deadline=60.0,
         end_when=lambda raw: UD2_REPORT in raw and raw.find(b"\n", raw.find(UD2_RIP)) >= 0)


# The command lines the boot managers pass as load options, and the file's:
# each must reach the kernel byte for byte (the test kernel shows it in hex).
GRUB_ARGUMENTS = "console=ttyS0 grub=chainloader quiet"
SYSTEMD_BOOT_OPTIONS = "root=/dev/quill 名字=值 quiet"
COMMAND_LINE_FILE = "from=cmdline.txt 文件 \U0001F600\n".encode()
COMMAND_LINE_PATH = "\\boot\\cmdline.txt"
COMMAND_LINE_FILE_NAME = "boot/cmdline.txt"


def command_line(data):
    """The test kernel's info: the extension block's command line in hex."""
    return {"extension": {"cmdline": data.hex()}}


# Complete boots into the test kernel, from 256 MiB to 1 TiB.
def _good_volume(context):
    return {KERNEL_FILE: context.test_kernel(), RAMDISK_FILE: sample_ramdisk()}


def full_boot_scenario(name, summary, machine, deadline=120.0, labels=("e2e",),
                       framebuffers=1, max_ledger=None, files=_good_volume, preamble=None,
                       kernel_info=None):
    """`kernel_info`: {group: {key: value}} that the test kernel's info lines
    must show."""
    # The stack the kernel starts on: OVMF's lies in boot-services data.
    kernel_info = {"stack": {"region-type": "1"}, **(kernel_info or {})}

    def check(report, context, files):
        check_full_boot(report, files[KERNEL_FILE], files[RAMDISK_FILE], framebuffers,
                        max_ledger, preamble, command_line_file=files.get(COMMAND_LINE_FILE_NAME))
        for group, wanted in kernel_info.items():
            shown = report.kernel.get("info", {}).get(group, {})
            for key, value in wanted.items():
                if shown.get(key) != value:
                    report.fail(f"the test kernel's info {group} shows {key}={shown.get(key)}, "
                                f"not {value}")
    scenario(name, summary, files=files, check=check, machine=machine, deadline=deadline,
             labels=labels)


full_boot_scenario("boot-q35-256M", "complete boot, q35, 256 MiB", Machine(memory="256M"))
full_boot_scenario("boot-q35-1G", "complete boot, q35, 1 GiB", Machine(memory="1G"))
full_boot_scenario("boot-cmdline-file",
                   "complete boot with \\boot\\cmdline.txt: the file is the command line, byte "
                   "for byte, and its file line follows the kernel line", Machine(memory="1G"),
                   files=lambda c: {**_good_volume(c), "boot/cmdline.txt": COMMAND_LINE_FILE},
                   kernel_info=command_line(COMMAND_LINE_FILE))
full_boot_scenario("boot-q35-4G", "complete boot, q35, 4 GiB", Machine(memory="4G"),
                   deadline=180.0)
full_boot_scenario("boot-pc-512M", "complete boot, pc (i440FX), 512 MiB",
                   Machine(machine="pc", memory="512M"))
full_boot_scenario("boot-smp2", "complete boot, q35, 1 GiB, two processors",
                   Machine(memory="1G", smp=2))
full_boot_scenario("boot-no-vga", "complete boot without a display: no framebuffer",
                   Machine(memory="1G", vga="none"), framebuffers=0)
full_boot_scenario("boot-virtio-gpu",
                   "complete boot on virtio-gpu, whose mode is Blt-only: no framebuffer",
                   Machine(memory="1G", vga="none", devices=("virtio-gpu-pci",)),
                   framebuffers=0)
full_boot_scenario("boot-q35-16G", "complete boot, q35, 16 GiB", Machine(memory="16G"),
                   deadline=240.0)
full_boot_scenario("boot-q35-64G", "complete boot, q35, 64 GiB", Machine(memory="64G"),
                   deadline=300.0, labels=("e2e", "scale"))
full_boot_scenario("boot-q35-1T", "complete boot, q35, 1 TiB; at most 64 ledger ranges",
                   Machine(memory="1T"), deadline=600.0, labels=("e2e", "scale"),
                   max_ledger=64)


# --------------------------------------------------------------------------
# The firmware matrix: the same complete boot, judged the same way, under
# U-Boot's UEFI, behind real boot managers, on other processor models and
# under Secure Boot.

BOOT_PATH = "EFI/BOOT/BOOTX64.EFI"
# Where a boot manager in front finds the loader.
CHAINED_PATH = "EFI/quillmor/quillmor.efi"

GRUB_CONFIG = (f"search --no-floppy --file --set=root /{CHAINED_PATH}\n"
               f"chainloader /{CHAINED_PATH} {GRUB_ARGUMENTS}\nboot\n").encode()



def grub_image(run_dir):
    """A standalone GRUB whose embedded configuration chainloads the loader."""
    config, image = run_dir / "grub.cfg", run_dir / "grubx64.efi"
    config.write_bytes(GRUB_CONFIG)
    run_tool(["grub-mkstandalone", "-O", "x86_64-efi", "--locales=", "--fonts=", "--themes=",
              "--modules=fat part_msdos search_fs_file chain",
              "--install-modules=fat part_msdos search search_fs_file chain normal configfile",
              "-o", image, f"boot/grub/grub.cfg={config}"], "grub-efi-amd64-bin")
    return image.read_bytes()


def _grub_volume(context):
    return {**_good_volume(context), BOOT_PATH: grub_image(context.run_dir),
            CHAINED_PATH: context.loader.read_bytes()}


def _systemd_boot_volume(context):
    manager = package_file("systemd-boot-efi", "/systemd-bootx64.efi",
                           "/usr/lib/systemd/boot/efi/systemd-bootx64.efi")
    return {**_good_volume(context), BOOT_PATH: manager.read_bytes(),
            CHAINED_PATH: context.loader.read_bytes(),
            "loader/loader.conf": b"timeout 0\ndefault quillmor.conf\n",
            "loader/entries/quillmor.conf":
                f"title quillmor\nefi /{CHAINED_PATH}\noptions {SYSTEMD_BOOT_OPTIONS}\n".encode()}


def snakeoil_file(name):
    """Debian's Secure Boot test key or certificate, shipped with OVMF."""
    return package_file("ovmf", f"/{name}", f"/usr/share/ovmf/{name}")


def signed_loader(context, image=None):
    """The loader (or `image`) signed with the key whose certificate Debian's
    Secure Boot OVMF has enrolled. sbsign takes no passphrase, so the key is
    decrypted into the run's directory first."""
    key = context.run_dir / "signing-key.pem"
    signed = context.run_dir / "quillmor-signed.efi"
    run_tool(["openssl", "pkey", "-passin", "pass:snakeoil", "-out", key,
              "-in", snakeoil_file("PkKek-1-snakeoil.key")], "openssl")
    run_tool(["sbsign", "--key", key, "--cert", snakeoil_file("PkKek-1-snakeoil.pem"),
              "--output", signed, image or context.loader], "sbsigntool")
    return signed.read_bytes()


def sealed_volume(context, change=None, sign=False, files=None):
    """The good volume (or `files`) with, as BOOTX64.EFI, the loader sealed
    with its kernel and ramdisk by quillmor-seal (built beside the loader) and
    then signed when `sign`; after sealing the last byte of the file `change`
    is flipped. A command-line file on the volume is sealed too."""
    files = dict(files or _good_volume(context))
    sealed = context.run_dir / "quillmor-sealed.efi"
    for name in (KERNEL_FILE, RAMDISK_FILE, COMMAND_LINE_FILE_NAME):
        if name in files:
            (context.run_dir / Path(name).name).write_bytes(files[name])
    command_line = (["--cmdline", context.run_dir / "cmdline.txt"]
                    if COMMAND_LINE_FILE_NAME in files else [])
    run_tool([context.loader.parent / "quillmor-seal", context.loader,
              "--kernel", context.run_dir / "mavotix.elf",
              "--initrd", context.run_dir / "initrd.ustar", *command_line, "-o", sealed], "make")
    if change:
        files[change] = files[change][:-1] + bytes([files[change][-1] ^ 1])
    files[BOOT_PATH] = signed_loader(context, sealed) if sign else sealed.read_bytes()
    return files


# OVMF's boot manager refusing the disk's boot option for its signature.
SECURE_BOOT_REFUSAL = re.compile(
    rb'BdsDxe: failed to load Boot[0-9A-F]{4} "UEFI QEMU HARDDISK[^\r\n]*: Access Denied\r\n')


def firmware_refused(raw):
    return SECURE_BOOT_REFUSAL.search(raw) is not None


def check_refused(report, context, files):
    """The firmware refused the unsigned loader: its refusal line, and no line
    of the loader, the banner least of all."""
    raw = report.result.raw
    if PREFIX.encode() in raw:
        report.fail("the loader wrote to the serial port: Secure Boot let an unsigned image run")
    if not firmware_refused(raw):
        report.fail("the firmware never refused the disk's boot option with Access Denied")


U_BOOT = Machine(machine="pc", memory="512M", firmware="u-boot", partitioned=True)

full_boot_scenario("boot-u-boot",
                   "complete boot on U-Boot's UEFI (pc, IDE disk with an MBR EFI partition): "
                   "no GOP, ACPI 2.0 tables; its stack in memory the map calls free", U_BOOT,
                   framebuffers=0, preamble=b"U-Boot ", kernel_info={"stack": {"region-type": "0"}})
full_boot_scenario("boot-grub-chainload",
                   f"GRUB as {BOOT_PATH} chainloads the loader from {CHAINED_PATH} on an MBR "
                   "EFI partition; its arguments are the kernel's command line",
                   Machine(partitioned=True), files=_grub_volume,
                   preamble=b"Welcome to GRUB!",
                   kernel_info=command_line(GRUB_ARGUMENTS.encode()))
full_boot_scenario("boot-systemd-boot",
                   f"systemd-boot as {BOOT_PATH} starts the loader's type-1 entry "
                   f"/{CHAINED_PATH} at once (timeout 0); its options are the kernel's command "
                   "line", Machine(), files=_systemd_boot_volume,
                   kernel_info=command_line(SYSTEMD_BOOT_OPTIONS.encode()))
full_boot_scenario("boot-cpu-conroe",
                   "complete boot on a Conroe processor, which lacks CPUID leaf 0x0b: the boot "
                   "processor's id comes from leaf 1", Machine(memory="1G", cpu="Conroe"),
                   kernel_info={"boot-processor": {"leaf": "0x1"}})
full_boot_scenario("boot-cpu-max",
                   "complete boot on QEMU's 'max' processor: every feature TCG has, CPUID leaf "
                   "0x0b", Machine(memory="1G", cpu="max"),
                   kernel_info={"boot-processor": {"leaf": "0xb"}})
# Sealed boot, with Secure Boot enforced and without: a sealed loader runs
# only the files it was sealed with, and under Secure Boot only a sealed one.
def _stop_after_kernel(message):
    return _exact_check(lambda f: BANNER + volume_opened()
                        + file_read(KERNEL_PATH, len(f[KERNEL_FILE])) + fatal(message))


SECURE = Machine(firmware="ovmf-secure")
full_boot_scenario("boot-secure-sealed-signed",
                   "Secure Boot on: the sealed and signed loader boots, its log byte for byte "
                   "that of an unsealed one", SECURE,
                   files=lambda c: sealed_volume(c, sign=True),
                   preamble=b"BdsDxe: starting Boot0001")
full_boot_scenario("boot-secure-sealed-cmdline",
                   "Secure Boot on: the loader sealed with \\boot\\cmdline.txt too boots with "
                   "that command line; the extension block says Secure Boot on, sealed", SECURE,
                   files=lambda c: sealed_volume(c, sign=True, files={
                       **_good_volume(c), COMMAND_LINE_FILE_NAME: COMMAND_LINE_FILE}),
                   kernel_info={**command_line(COMMAND_LINE_FILE), "extension": {
                       "cmdline": COMMAND_LINE_FILE.hex(), "flags": "3"}})
for _name, _firmware, _change, _check in (
        ("secure-sealed-kernel-changed", SECURE, KERNEL_FILE, _stop_after_kernel("内核散列不符")),
        ("secure-sealed-ramdisk-changed", SECURE, RAMDISK_FILE,
         _exact_check(lambda f: _reads(f) + fatal("内存盘散列不符"))),
        ("sealed-kernel-changed", Machine(), KERNEL_FILE, _stop_after_kernel("内核散列不符"))):
    scenario(_name, f"{'Secure Boot on' if _firmware is SECURE else 'Secure Boot off'}: the last "
             f"byte of {_change} changed after sealing stops the boot right after its file line",
             files=lambda c, change=_change, sign=_firmware is SECURE:
                 sealed_volume(c, change=change, sign=sign),
             check=_check, machine=_firmware)
scenario("secure-signed-unsealed",
         "Secure Boot on: the signed but unsealed loader stops before it opens any file",
         files=lambda c: {**_good_volume(c), BOOT_PATH: signed_loader(c)}, machine=SECURE,
         check=_exact_check(lambda f: BANNER + volume_opened() + fatal("安全启动要求封存散列")))
full_boot_scenario("boot-sealed", "Secure Boot off: the sealed loader boots as an unsealed one",
                   Machine(), files=sealed_volume)
full_boot_scenario("boot-u-boot-sealed",
                   "U-Boot's UEFI, which has no SecureBoot variable: the sealed loader boots",
                   U_BOOT, framebuffers=0, preamble=b"U-Boot ", files=sealed_volume,
                   kernel_info={"stack": {"region-type": "0"}, "extension": {"flags": "2"}})

scenario("secure-unsigned-refused",
         "Secure Boot on: the firmware refuses the unsigned loader and its banner never appears",
         files=_good_volume, check=check_refused, machine=Machine(firmware="ovmf-secure"),
         end_when=firmware_refused)


# --------------------------------------------------------------------------
# Running

def returned_to_firmware(raw):
    """The firmware took control back after the loader started (a check
    failure exits with EFI_ABORTED): nothing more will come from the loader.
    OVMF's boot manager says so, or its shell starts; U-Boot reports the
    application's status."""
    start = raw.find(BANNER)
    return start >= 0 and any(raw.find(text, start) >= 0 for text in (
        b"BdsDxe: failed to start", b"Shell> ", b"## Application failed"))


def run(item, context, keep=False, on_output=None):
    """Boots one scenario and checks it; returns its Report. The run's
    directory is removed when the scenario passed, unless `keep`."""
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-{item.name}-"))
    files = item.files(dataclasses.replace(context, run_dir=run_dir))
    result = boot(item.machine, files, context.loader, deadline=item.deadline,
                  run_dir=run_dir, on_output=on_output, name=item.name,
                  end_when=item.end_when or returned_to_firmware, on_stop=item.on_stop)
    report = Report(result)
    item.check(report, context, files)
    if report.passed and not keep:
        shutil.rmtree(result.run_dir, ignore_errors=True)
    return report
