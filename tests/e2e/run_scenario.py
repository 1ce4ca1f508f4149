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
from machine import BenchError, boot, make_disk, memory_options  # noqa: E402


def run(item, build, loader, keep=False, on_output=None):
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-{item.name}-"))
    for path in (loader, build / "test-kernel.elf", build / "quillmor.img"):
        if not path.is_file():
            raise BenchError(f"{path} not found (`make` builds it)")
    files = scenarios.volume(item, build, loader, run_dir)
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
          f"{'FAILED' if verdict.problems else 'passed'} ({result.ending}, "
          f"{result.duration:.1f} s)")
    for problem in verdict.problems:
        print(f"  - {problem}")
    if verdict.problems:
        start = max(result.raw.find(judge.BANNER), 0)
        print("  serial output:\n" + result.raw[start:][-6000:].decode("utf-8", "replace"))
    if verdict.problems or keep:
        print(f"  artifacts in {run_dir}")
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
    loader = build / "quillmor.efi"
    try:
        if args.run:
            kernel = Path(args.kernel or build / "test-kernel.elf").read_bytes()
            if judge.KTEST in kernel:
                ending, deadline = "kernel", 120.0
            elif kernel == (build / "example-kernel.elf").read_bytes():
                ending, deadline = "example", 120.0
            else:
                ending, deadline = "outcome", args.seconds
            item = scenarios.Scenario(
                "run", qemu=memory_options(args.memory), kernel=kernel, ending=ending,
                ramdisk=Path(args.initrd).read_bytes() if args.initrd else "sample",
                deadline=deadline)
            live = lambda data: (sys.stdout.buffer.write(data), sys.stdout.buffer.flush())
            return 0 if run(item, build, loader, args.keep, on_output=live) else 1
        unknown = [name for name in args.names if name not in scenarios.SCENARIOS]
        if unknown or not args.names:
            parser.error(f"unknown scenarios {unknown}; --list shows them")
        results = [run(scenarios.SCENARIOS[name], build, loader, args.keep)
                   for name in args.names]
        return 0 if all(results) else 1
    except BenchError as error:
        print(f"cannot run: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
