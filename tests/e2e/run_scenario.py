#!/usr/bin/env python3
"""Runs end-to-end scenarios of quillmor in QEMU (OVMF, U-Boot).

    run_scenario.py NAME [NAME...] --build-dir build    one or more scenarios
    run_scenario.py --list                              names, labels, timeouts
    run_scenario.py --run --build-dir build             boot the standard volume
                                                        and show the serial log live

--run boots the test kernel unless --kernel names another (`make run` names
the example kernel). Exit status 0 when every scenario passed, 1 when one
failed, 2 when the bench could not run at all. For --run: the test kernel's
report and the example kernel's summary are judged (0 when they passed); any
other kernel is not: the run ends with its outcome (the code it wrote to
isa-debug-exit, or a halt or --seconds of silence, with its last serial line),
0 once the loader handed over to it.
"""

import argparse
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import example_scenarios  # noqa: E402
import scenarios  # noqa: E402
from machine import BenchError, Machine, boot  # noqa: E402


def context_from(args):
    build = Path(args.build_dir)
    return scenarios.Context(loader=Path(args.loader or build / "quillmor.efi"),
                             kernel=Path(args.kernel or build / "test-kernel.elf"))


def list_scenarios():
    # One line per scenario: name, labels joined by commas, CTest timeout.
    for item in scenarios.SCENARIOS.values():
        print(f"{item.name} {','.join(item.labels)} {item.timeout}")


def run_named(names, context, keep):
    failed = 0
    for name in names:
        item = scenarios.SCENARIOS.get(name)
        if item is None:
            print(f"unknown scenario {name!r}; --list shows them", file=sys.stderr)
            return 2
        print(f"scenario {name}: {item.summary} [{item.machine.describe()}]", flush=True)
        report = scenarios.run(item, context, keep=keep)
        if report.passed:
            result = report.result
            print(f"scenario {name}: passed ({result.ending()}, {result.duration:.1f} s)"
                  + (f", artifacts in {result.run_dir}" if keep else ""))
        else:
            failed += 1
            print(report.render(name))
    return 1 if failed else 0


class LiveLog:
    """Writes the serial bytes to stdout as they arrive, from the loader's
    banner on (or from the first byte with `firmware`)."""

    def __init__(self, firmware):
        self.pending = b""
        self.started = firmware

    def __call__(self, data):
        if not self.started:
            self.pending += data
            start = self.pending.find(scenarios.BANNER)
            if start < 0:
                return
            self.started, data = True, self.pending[start:]
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()


def report_outcome(result):
    """Any kernel's ending, unjudged: what it left QEMU with, or where it
    stopped, and its last serial line."""
    lines = [line for line in result.raw.split(b"\n") if line.strip()]
    last = lines[-1].decode("utf-8", "replace").strip() if lines else "(none)"
    status = result.exit_status
    if status is not None and status % 2 == 1:
        how = f"it wrote {status >> 1:#x} to isa-debug-exit (QEMU exited with {status})"
    else:
        how = result.ending()
    print(f"\nrun ended: {how} after {result.duration:.1f} s; last serial line: {last}",
          file=sys.stderr)
    handed_over = "交接给内核".encode() in result.raw
    return 0 if handed_over else 1


def run_live(context, memory, firmware, keep, initrd, seconds, example):
    kernel = context.test_kernel()
    ramdisk = Path(initrd).read_bytes() if initrd else scenarios.sample_ramdisk()
    files = {scenarios.KERNEL_FILE: kernel, scenarios.RAMDISK_FILE: ramdisk}
    live = LiveLog(firmware)
    # The test kernel writes [ktest] lines; the example a summary, then its
    # success value through isa-debug-exit. No other kernel's output means
    # anything to the bench.
    is_test_kernel = scenarios.KTEST in kernel
    is_example = example is not None and Path(example).is_file() and \
        Path(example).read_bytes() == kernel
    judged = is_test_kernel or is_example
    result = boot(Machine(memory=memory), files, context.loader,
                  deadline=300.0 if judged else seconds, on_output=live,
                  end_when=scenarios.returned_to_firmware, name="run")
    if not live.started:
        print("(the loader's banner never appeared)")
    if not judged:
        status = report_outcome(result)
        if not keep:
            shutil.rmtree(result.run_dir, ignore_errors=True)
        return status
    report = scenarios.Report(result)
    check = (scenarios.check_kernel_report if is_test_kernel
             else example_scenarios.example_check())
    scenarios.check_full_boot(report, kernel, ramdisk, framebuffers=1, kernel_check=check)
    print(file=sys.stderr)
    if report.passed and is_test_kernel:
        print(f"boot passed: the test kernel ran {report.kernel.get('passed')} checks, "
              f"all passed ({result.duration:.1f} s)", file=sys.stderr)
    elif report.passed:
        print(f"boot passed: the kernel wrote its summary and left QEMU with "
              f"{result.exit_status} ({result.duration:.1f} s)", file=sys.stderr)
    else:
        print("boot did not pass:", file=sys.stderr)
        for problem in report.problems:
            print(f"  - {problem}", file=sys.stderr)
        print(f"  run ended: {result.ending()}; serial log and artifacts in {result.run_dir}",
              file=sys.stderr)
    if report.passed and not keep:
        shutil.rmtree(result.run_dir, ignore_errors=True)
    return 0 if report.passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", metavar="NAME", help="scenarios to run")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--run", action="store_true",
                        help="boot a kernel and show the serial log live")
    parser.add_argument("--build-dir", default="build",
                        help="where quillmor.efi and test-kernel.elf are (default: build)")
    parser.add_argument("--loader", help="the loader image (default: BUILD/quillmor.efi)")
    parser.add_argument("--kernel", help="the test kernel (default: BUILD/test-kernel.elf)")
    parser.add_argument("--initrd", help="the ramdisk for --run (default: the bench's sample)")
    parser.add_argument("--memory", default="1G", help="guest memory for --run (default: 1G)")
    parser.add_argument("--seconds", type=float, default=30.0,
                        help="with --run, how long a kernel that is not judged may run "
                             "(default: 30)")
    parser.add_argument("--example", help="the example kernel, whose summary --run judges")
    parser.add_argument("--firmware-output", action="store_true",
                        help="with --run, also show the firmware's output before the banner")
    parser.add_argument("--keep", action="store_true",
                        help="keep each run's directory even when it passed")
    args = parser.parse_args()

    if args.list:
        list_scenarios()
        return 0
    try:
        context = context_from(args)
        if args.run:
            return run_live(context, args.memory, args.firmware_output, args.keep, args.initrd,
                            args.seconds, args.example)
        if not args.names:
            parser.error("name a scenario, or use --list or --run")
        return run_named(args.names, context, args.keep)
    except BenchError as error:
        print(f"cannot run: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
