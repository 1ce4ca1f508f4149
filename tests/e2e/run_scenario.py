#!/usr/bin/env python3
"""Runs end-to-end scenarios of quillmor in QEMU.

    run_scenario.py NAME [NAME...] --build-dir build    scenarios of the table
    run_scenario.py --list                              names, labels, timeouts
    run_scenario.py --run --build-dir build [--kernel K] [--initrd R]

--run boots a kernel (by default the test kernel) with its log shown live,
judged as the table judges the test kernel and the example; any other kernel
is the user's own, and its run ends with its outcome (isa-debug-exit value,
halt or --seconds limit, and its last serial line). Exit status 0 when every
run passed, 1 when one failed, 2 when the bench could not run at all.
"""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import judge  # noqa: E402
import scenarios  # noqa: E402
from machine import BenchError, boot, make_disk, memory_options  # noqa: E402


def run(item, build, on_output=None):
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-{item.name}-"))
    for name in ("quillmor.efi", "test-kernel.elf", "initrd.ustar", "quillmor.img"):
        if not (build / name).is_file():
            raise BenchError(f"{build / name} not found (`make` builds it)")
    files = scenarios.volume(item, build, build / "quillmor.efi", run_dir)
    disk = build / "quillmor.img" if item.manager == "disk-image" else make_disk(
        run_dir / "disk.img", files)

    def screenshot(qmp, raw):
        if b"\r\nframebuffer: drawn " in raw:
            qmp.execute("screendump", filename=str(run_dir / "screen.ppm"))

    result = boot(item.firmware, item.qemu, disk, run_dir, item.deadline, item.debug_exit,
                  on_output, screenshot if item.ending == "picture" else None)
    verdict = judge.judge(item, result, files)
    if item.ending == "outcome":
        print(f"kernel outcome: {verdict.outcome}")
    if (run_dir / "screen.ppm").is_file():
        shutil.copyfile(run_dir / "screen.ppm", build / "example-picture.ppm")
    print(f"scenario {item.name} [{item.firmware} {item.qemu}]: "
          f"{'FAILED' if verdict.problems else 'passed'} "
          f"({result.ending}, {result.duration:.1f} s)")
    if verdict.problems:
        serial = result.raw[max(result.raw.find(judge.BANNER), 0):][-6000:]
        print("".join(f"  - {problem}\n" for problem in verdict.problems)
              + f"  serial output:\n{serial.decode('utf-8', 'replace')}\n  artifacts in {run_dir}")
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    return not verdict.problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", metavar="NAME")
    parser.add_argument("--list", action="store_true", help="list the scenarios")
    parser.add_argument("--run", action="store_true", help="boot a kernel, the log live")
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--kernel", help="for --run: the kernel (default: the test kernel)")
    parser.add_argument("--initrd", help="for --run: the ramdisk (default: the build's)")
    parser.add_argument("--memory", default="1G", help="for --run: guest memory")
    parser.add_argument("--seconds", type=float, default=30.0,
                        help="for --run: how long a kernel of your own may run")
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    if args.list:
        print("".join(f"{item.name} {','.join(item.labels)} {int(item.deadline) + 60}\n"
                      for item in scenarios.TABLE), end="")
        return 0
    unknown = [name for name in args.names if name not in scenarios.SCENARIOS]
    if unknown or not (args.names or args.run):
        parser.error(f"unknown scenarios {unknown}; --list shows them")
    try:
        if args.run:
            kernel = Path(args.kernel or build / "test-kernel.elf").read_bytes()
            ending = "kernel" if judge.KTEST in kernel else "example" if kernel == (
                build / "example-kernel.elf").read_bytes() else "outcome"
            item = scenarios.Scenario(
                "run", qemu=memory_options(args.memory), kernel=kernel, ending=ending,
                ramdisk=Path(args.initrd).read_bytes() if args.initrd else "sample",
                deadline=args.seconds if ending == "outcome" else 120.0)
            live = lambda data: (sys.stdout.buffer.write(data), sys.stdout.buffer.flush())
            return 0 if run(item, build, on_output=live) else 1
        return 0 if all([run(scenarios.SCENARIOS[name], build) for name in args.names]) else 1
    except BenchError as error:
        print(f"cannot run: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
