"""End-to-end scenarios of the example kernel (examples/hello-kernel): booted
from the disk image the build writes, and drawn on a real display whose
screenshot is checked pixel by pixel.

The build puts the example kernel, its ramdisk and the disk image next to the
loader image, so their paths follow from the loader's.
"""

import re
import shutil

import png
import scenarios
from machine import EXIT_PASS, BenchError, Machine
from scenarios import (KERNEL_FILE, RAMDISK_FILE, Scenario, check_full_boot, sample_ramdisk,
                       show, split_lines)

SUMMARY_DONE = "hello-kernel: done, no problems found"
DRAWN = b"\r\nframebuffer: drawn "


def example_kernel_path(context):
    return context.loader.parent / "example-kernel.elf"


def _built(path):
    if not path.is_file():
        raise BenchError(f"{path} not found (`make` builds it)")
    return path


# --------------------------------------------------------------------------
# The example's summary

def _summary_lines(expect):
    """The lines the summary must contain, in this order, as regular
    expressions; other lines (region entries, ustar members) may come between."""
    lines = [
        rf"hello-kernel: booted by quillmor 1\.0\.0, handoff record at "
        rf"{expect['handoff']:#x} \(version 1, 13544 bytes\)",
        rf"kernel: at physical 0x[0-9a-f]+, linked at 0xffffffff80000000; "
        rf"direct map at {scenarios.DIRECT_MAP_OFFSET:#x}",
        rf"memory regions: {expect['regions']}",
        r"usable memory: [0-9.]+ (?:bytes|[KMGT]iB) in [1-9][0-9]* regions, plus .* boot "
        r"reclaimable",
        r"modules: 1",
        rf"  initrd: .* \({len(expect['ramdisk'])} bytes\) at 0xffff8[0-9a-f]+, "
        r"loaded from \\boot\\initrd\.ustar",
    ]
    if expect["framebuffers"]:
        lines += [r"framebuffer: (?P<width>\d+)x(?P<height>\d+), pitch (?P<pitch>\d+) bytes, "
                  r"32 bits per pixel, at 0xffff8[0-9a-f]+",
                  r"  pixel layout: red bits 16-23, green bits 8-15, blue bits 0-7"]
    else:
        lines.append(r"framebuffer: none .*")
    lines += [rf'ACPI: RSDP at {expect["rsdp"]:#x}: signature "RSD PTR ", revision [2-9], '
              r'checksums ok, OEM ".{6}", XSDT at 0x[0-9a-f]+',
              r"boot processor: id \d+ \(1 processor\(s\) in the table\)"]
    if expect["framebuffers"]:
        lines.append(r"framebuffer: drawn .*")
    return lines + [re.escape(SUMMARY_DONE)]


def check_example_report(report, rest, expect, halts=False, powers_off=False):
    """The example kernel's summary after the handoff line, and how it ended:
    QEMU left through isa-debug-exit, or (`halts`, without that device) the
    processor halted, or (`powers_off`) the firmware's ResetSystem switched
    the machine off: QEMU exits with 0 and the kernel wrote nothing after its
    last line (had the call returned, it would report the problem)."""
    lines = split_lines(rest)
    if not lines or lines[0] != b"\r\n":
        report.fail("the example kernel's output does not begin with an empty line")
    texts = []
    for line in lines[1:]:
        if not line.endswith(b"\r\n"):
            report.fail(f"an incomplete line from the example kernel: {show(line)}")
        texts.append(line.rstrip(b"\r\n").decode("utf-8", "replace"))
    for text in texts:
        if "PROBLEM" in text:
            report.fail(f"the example kernel found a problem: {text}")

    at = 0
    for pattern in _summary_lines(expect):
        found = next(((i, m) for i in range(at, len(texts))
                      if (m := re.fullmatch(pattern, texts[i]))), None)
        if found is None:
            report.fail(f"the example's summary lacks, after line {at}, a line matching "
                        f"{pattern!r}")
            continue
        at = found[0] + 1
        report.kernel.update({k: int(v) for k, v in found[1].groupdict().items()})
    region_lines = sum(1 for text in texts if text.startswith("  [0x"))
    if region_lines != expect["regions"]:
        report.fail(f"the example listed {region_lines} regions; the loader made "
                    f"{expect['regions']}")
    if texts and texts[-1] != SUMMARY_DONE:
        report.fail(f"the example's last line is {texts[-1]!r}, not {SUMMARY_DONE!r}")

    result = report.result
    if texts and not any(text.startswith("  GetTime: ") for text in texts):
        report.fail("the example did not show the date from the firmware's GetTime")
    if powers_off:
        if result.exit_status != 0:
            report.fail(f"ResetSystem(EfiResetShutdown) did not power QEMU off: {result.ending()}")
    elif halts and not result.halted:
        report.fail(f"without isa-debug-exit the example should halt; {result.ending()}")
    elif not halts and result.exit_status != EXIT_PASS:
        report.fail(f"the example did not leave QEMU with {EXIT_PASS}: {result.ending()}")


def example_check(halts=False, powers_off=False):
    """A kernel_check for check_full_boot."""
    return lambda report, rest, expect: check_example_report(report, rest, expect, halts,
                                                             powers_off)


# --------------------------------------------------------------------------
# The picture

WHITE, RED, GREEN, BLUE = (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255)
FRAME = 8
GRADIENT_BLUE = 64


def expected_picture(width, height):
    """{(x, y): (what, (r, g, b))} at telling places of the example's picture,
    from the layout documented in examples/hello-kernel/src/picture.h."""
    def gradient(x, y):
        return ("gradient", (x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1),
                             GRADIENT_BLUE))

    points = {}
    for x, y in ((0, 0), (width - 1, height - 1), (width // 2, FRAME - 1),
                 (FRAME - 1, height // 2), (width - FRAME, height // 2),
                 (width // 2, height - FRAME)):
        points[(x, y)] = ("frame", WHITE)
    for x, y in ((width // 8, height // 8), (width // 2, height // 8),
                 (width * 7 // 8, height * 7 // 8), (FRAME, FRAME),
                 (width - FRAME - 1, height - FRAME - 1)):
        points[(x, y)] = gradient(x, y)
    side = min(width, height) // 4
    top = height // 2 - side // 2
    for index, (name, colour) in enumerate((("red", RED), ("green", GREEN), ("blue", BLUE))):
        left = (index + 1) * width // 4 - side // 2
        for x, y in ((left, top), (left + side // 2, top + side // 2),
                     (left + side - 1, top + side - 1)):
            points[(x, y)] = (f"{name} square", colour)
        for x, y in ((left - 1, top), (left + side, top + side - 1), (left, top + side)):
            points[(x, y)] = gradient(x, y)
    return points


def take_screenshot(qmp, run_dir):
    """Saves the display as run_dir/screen.png through QMP screendump: PNG
    where QEMU offers it, otherwise PPM converted here."""
    target = run_dir / "screen.png"
    try:
        qmp.execute("screendump", filename=str(target), format="png")
    except RuntimeError:
        ppm = run_dir / "screen.ppm"
        qmp.execute("screendump", filename=str(ppm))
        target.write_bytes(png.write_png(png.read_ppm(ppm.read_bytes())))
    return target


def check_picture(report, screenshot_copy):
    shot = report.result.run_dir / "screen.png"
    if not shot.is_file():
        report.fail("no screenshot was taken (the 'framebuffer: drawn' line never came)")
        return
    if screenshot_copy is not None:
        shutil.copyfile(shot, screenshot_copy)
    geometry = [report.kernel.get(k) for k in ("width", "height", "pitch")]
    if None in geometry:
        return  # the summary check has said what is missing
    width, height, _ = geometry
    image = png.read_png(shot.read_bytes())
    if (image.width, image.height) != (width, height):
        report.fail(f"the display shows {image.width}x{image.height}, the record says "
                    f"{width}x{height}")
        return
    wrong = [f"({x}, {y}) {what}: expected {colour}, shows {image.pixel(x, y)}"
             for (x, y), (what, colour) in expected_picture(width, height).items()
             if image.pixel(x, y) != colour]
    if wrong:
        report.fail(f"{len(wrong)} pixels of the screenshot {shot} differ from the picture:\n"
                    + "\n".join(f"    {line}" for line in wrong))


# --------------------------------------------------------------------------
# Scenarios

def _register(item):
    assert item.name not in scenarios.SCENARIOS
    scenarios.SCENARIOS[item.name] = item


def _image(context):
    return _built(context.loader.parent / "quillmor.img")


def _check_image_boot(report, context, image):
    # The image holds the kernel and the ramdisk the build made next to it.
    kernel = _built(example_kernel_path(context)).read_bytes()
    ramdisk = _built(image.parent / "initrd.ustar").read_bytes()
    check_full_boot(report, kernel, ramdisk, framebuffers=1, kernel_check=example_check())


_register(Scenario(
    "example-disk-image",
    "build/quillmor.img booted as a plain GPT disk: the loader's log, the example's summary, "
    "and the example leaving QEMU with its success value",
    files=_image, check=_check_image_boot, machine=Machine(memory="512M")))


def _picture_files(context):
    return {KERNEL_FILE: _built(example_kernel_path(context)).read_bytes(),
            RAMDISK_FILE: sample_ramdisk()}


def _check_picture_boot(report, context, files):
    check_full_boot(report, files[KERNEL_FILE], files[RAMDISK_FILE], framebuffers=1,
                    kernel_check=example_check(halts=True))
    check_picture(report, context.loader.parent / "example-picture.png")


def _screenshot_when_drawn(qmp, raw, run_dir):
    if DRAWN in raw:
        take_screenshot(qmp, run_dir)


# Without isa-debug-exit the example halts after drawing, so the display is
# still there to be captured when the bench sees the halt.
_register(Scenario(
    "example-picture",
    "the example on std VGA through OVMF's GOP: a screenshot shows its gradient, frame and "
    "red, green and blue squares where the reported geometry puts them",
    files=_picture_files, check=_check_picture_boot,
    machine=Machine(memory="512M", vga="std", debug_exit=False),
    on_stop=_screenshot_when_drawn))


# The command line "poweroff": the example calls ResetSystem(EfiResetShutdown)
# through the system table the extension block names, on the loader's tables.
POWEROFF = b"poweroff"


def _poweroff_files(context):
    return {**_picture_files(context), "boot/cmdline.txt": POWEROFF}


def _check_poweroff(report, context, files):
    check_full_boot(report, files[KERNEL_FILE], files[RAMDISK_FILE], framebuffers=1,
                    kernel_check=example_check(powers_off=True), command_line_file=POWEROFF)


_register(Scenario(
    "example-runtime-poweroff",
    "the example with the command line 'poweroff': GetTime's date, then ResetSystem("
    "EfiResetShutdown) through the runtime services switches QEMU off",
    files=_poweroff_files, check=_check_poweroff, machine=Machine(memory="512M")))
