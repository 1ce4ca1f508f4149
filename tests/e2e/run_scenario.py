#!/usr/bin/env python3
"""Runs end-to-end scenarios of quillmor in QEMU (OVMF, U-Boot).

    run_scenario.py NAME [NAME...] --build-dir build    scenarios of the table
    run_scenario.py --list                              names, labels, timeouts
    run_scenario.py --run --build-dir build             boot a kernel, the log live

--run boots the test kernel unless --kernel names another (`make run` names
the example kernel). The test kernel and the example are judged as the table
judges them; any other kernel is the user's own: its run shows the log and
ends with the kernel's outcome (its isa-debug-exit value, a halt, or the
--seconds limit, with its last serial line), and passes once the loader has
handed over. Exit status 0 when every run passed, 1 when one failed, 2 when
the bench could not run at all.
"""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import judge  # noqa: E402
import scenarios  # noqa: E402
from machine import BenchError, Machine, boot  # noqa: E402
from scenarios import KERNEL_FILE, RAMDISK_FILE  # noqa: E402

DRAWN = b"\r\nframebuffer: drawn "


def built(path):
    if not path.is_file():
        raise BenchError(f"{path} not found (`make` builds it)")
    return path


def volume(item, build, loader, run_dir):
    """The files of the boot volume, or the disk image to boot as it is."""
    if item.manager == "disk-image":
        return built(build / "quillmor.img")
    kernel = {"test": build / "test-kernel.elf", "example": build / "example-kernel.elf"}
    files = {KERNEL_FILE: built(kernel[item.kernel]).read_bytes()
             if isinstance(item.kernel, str) else item.kernel,
             RAMDISK_FILE: scenarios.sample_ramdisk() if item.ramdisk == "sample"
             else item.ramdisk, scenarios.CMDLINE_FILE: item.cmdline_file}
    if item.manager in ("grub", "systemd-boot"):
        files[scenarios.CHAINED_PATH] = loader.read_bytes()
        files.update((scenarios.grub_manager if item.manager == "grub"
                      else scenarios.systemd_boot_manager)(run_dir))
    if item.sealed:
        files = scenarios.sealed_loader(run_dir, loader, files, item.change)
    if item.signed:
        unsigned = run_dir / "unsigned.efi"
        unsigned.write_bytes(files.get(scenarios.BOOT_PATH) or loader.read_bytes())
        files.update(scenarios.signed_loader(run_dir, unsigned))
    return files


def judge_run(item, result, files, build):
    verdict = judge.Verdict(result.raw, result.exit_status, result.halted)
    if item.ending == "refused":
        if judge.PREFIX.encode() in result.raw:
            verdict.fail("the loader wrote to the serial port: an unsigned image ran")
        if not scenarios.SECURE_BOOT_REFUSAL.search(result.raw):
            verdict.fail("the firmware never refused the disk's boot option")
        return verdict
    if item.ending == "outcome":
        return own_kernel_outcome(verdict, result)
    if isinstance(files, Path):  # the disk image holds what the build made
        files = {KERNEL_FILE: built(build / "example-kernel.elf").read_bytes(),
                 RAMDISK_FILE: built(build / "initrd.ustar").read_bytes()}
    kernel, ramdisk = files.get(KERNEL_FILE), files.get(RAMDISK_FILE)
    if item.ending == "stop":
        verdict.exact(item.expect(kernel, ramdisk))
        return verdict
    plan_path = result.run_dir / "kernel.elf"
    plan_path.write_bytes(kernel)
    plan = judge.plan(plan_path, built(build / "quillmor-check"))
    if item.ending == "late-stop":  # refused at boot, after the kernel line
        lines = judge.boot_lines(kernel, ramdisk, plan, item.framebuffers)[:2]
        if verdict.lines(lines + [judge.line(f"装载失败：{item.expect}")]) != b"":
            verdict.fail("more output after the fatal line, or not that line")
        if not result.halted:
            verdict.fail("the machine did not stop halted with interrupts off")
        return verdict
    rest = verdict.full_boot(kernel, ramdisk, plan, item.framebuffers, item.preamble,
                             files.get(scenarios.CMDLINE_FILE))
    if rest is None:
        return verdict
    if item.ending == "kernel":
        verdict.test_kernel(rest, ramdisk)
        if item.leaf and verdict.kernel.get("boot-processor", {}).get("leaf") != item.leaf:
            verdict.fail(f"the processor's identity did not come from CPUID leaf {item.leaf}")
        if verdict.kernel.get("stack", {}).get("region-type") != item.stack_region:
            verdict.fail(f"the kernel's stack does not lie in a region of type {item.stack_region}")
        extension = {"flags": item.flags, "cmdline": item.cmdline.hex()
                     if item.cmdline is not None else None}
        shown = dict(verdict.kernel.get("extension", {}))
        if item.cmdline is None:  # the firmware's own load options
            shown["cmdline"] = None
        if shown != extension:
            verdict.fail(f"the extension block shows {verdict.kernel.get('extension')}, "
                         f"not {extension}")
    elif item.ending == "exception":
        for text in item.expect:
            if text not in rest:
                verdict.fail(f"after the handoff line, no firmware report with {text!r}")
    elif item.ending == "crafted":
        if rest:
            verdict.fail("output after the handoff line, though the crafted kernel writes none")
        verdict.ending(judge.EXIT_PASS)
    else:
        verdict.example(rest, judge.example_summary(verdict.values, len(ramdisk),
                                                    item.framebuffers),
                        halts=item.ending == "picture",
                        status=0 if item.ending == "poweroff" else judge.EXIT_PASS)
        if item.ending == "picture":
            shot = result.run_dir / "screen.ppm"
            if shot.is_file():
                judge.picture(verdict, shot.read_bytes())
                shutil.copyfile(shot, build / "example-picture.ppm")
            else:
                verdict.fail("no screenshot: the 'framebuffer: drawn' line never came")
    return verdict


def own_kernel_outcome(verdict, result):
    ended = None if result.timed_out or result.halted else result.exit_status
    print(f"kernel outcome: {verdict.own_kernel(ended, result.ending())}")
    return verdict


def screenshot_when_drawn(qmp, raw, run_dir):
    if DRAWN in raw:
        qmp.execute("screendump", filename=str(run_dir / "screen.ppm"))


def run(item, build, loader, keep=False, on_output=None):
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-{item.name}-"))
    files = volume(item, build, loader, run_dir)
    result = boot(item.machine, files, loader, deadline=item.deadline, run_dir=run_dir,
                  on_output=on_output, name=item.name, end_when=scenarios.returned_to_firmware,
                  on_stop=screenshot_when_drawn if item.ending == "picture" else None)
    verdict = judge_run(item, result, files, build)
    print(f"scenario {item.name} [{item.machine.describe()}]: "
          f"{'passed' if not verdict.problems else 'FAILED'} ({result.ending()}, "
          f"{result.duration:.1f} s)")
    for problem in verdict.problems:
        print(f"  - {problem}")
    if verdict.problems:
        start = max(result.raw.find(judge.BANNER), 0)
        print("  serial output:\n" + result.raw[start:][-6000:].decode("utf-8", "replace"))
    if verdict.problems or keep:
        print(f"  artifacts in {result.run_dir}")
    else:
        shutil.rmtree(result.run_dir, ignore_errors=True)
    return not verdict.problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", metavar="NAME")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--run", action="store_true", help="boot a kernel, the log live")
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--loader", help="the loader image (default: BUILD/quillmor.efi)")
    parser.add_argument("--kernel", help="for --run: the kernel (default: the test kernel)")
    parser.add_argument("--initrd", help="for --run: the ramdisk (default: the sample)")
    parser.add_argument("--memory", default="1G", help="for --run: guest memory")
    parser.add_argument("--seconds", type=float, default=30.0,
                        help="for --run: how long a kernel of your own may run")
    parser.add_argument("--keep", action="store_true", help="keep every run's directory")
    args = parser.parse_args()
    if args.list:
        for item in scenarios.TABLE:
            print(f"{item.name} {','.join(item.labels)} {int(item.deadline) + 60}")
        return 0
    build = Path(args.build_dir).resolve()
    loader = Path(args.loader or build / "quillmor.efi")
    try:
        if args.run:
            kernel = Path(args.kernel or build / "test-kernel.elf").read_bytes()
            example = build / "example-kernel.elf"
            if judge.KTEST in kernel:
                ending, deadline = "kernel", 120.0
            elif example.is_file() and kernel == example.read_bytes():
                ending, deadline = "example", 120.0
            else:
                ending, deadline = "outcome", args.seconds
            item = scenarios.Scenario(
                "run", Machine(memory=args.memory, debug_exit=True), kernel=kernel,
                ramdisk=Path(args.initrd).read_bytes() if args.initrd else "sample",
                ending=ending, deadline=deadline)
            live = lambda data: (sys.stdout.buffer.write(data), sys.stdout.buffer.flush())
            return 0 if run(item, build, loader, args.keep, on_output=live) else 1
        if not args.names:
            parser.error("name a scenario, or use --list or --run")
        unknown = [name for name in args.names if name not in scenarios.SCENARIOS]
        if unknown:
            parser.error(f"unknown scenarios {unknown}; --list shows them")
        results = [run(scenarios.SCENARIOS[name], build, loader, args.keep)
                   for name in args.names]
        return 0 if all(results) else 1
    except BenchError as error:
        print(f"cannot run: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
