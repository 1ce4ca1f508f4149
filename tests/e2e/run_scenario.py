#!/usr/bin/env python3
"""Runs end-to-end scenarios of quillmor in QEMU; exit status 0 when all pass.

    run_scenario.py NAME [NAME...] --build-dir build    scenarios of the table
    run_scenario.py --list                              names, labels, timeouts
    run_scenario.py --run --build-dir build [--kernel K] [--initrd R]

--run boots a kernel, its log live, judged as the table judges the test kernel
and the example; for another kernel its handover, then how it ended in 30 s.
"""

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import judge  # noqa: E402
import scenarios  # noqa: E402
from machine import boot, make_disk  # noqa: E402


def run(item, build, on_output=None):
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-{item.name}-"))
    files = scenarios.volume(item, build, build / "quillmor.efi", run_dir)
    disk = build / "quillmor.img" if item.manager == "disk-image" else make_disk(
        run_dir / "disk.img", files)
    screenshot = run_dir / "screen.ppm" if item.ending == "picture" else None
    result = boot(item.firmware, item.qemu, disk, run_dir, item.deadline, on_output, screenshot)
    verdict = judge.judge(item, result, files)
    if item.ending == "outcome":
        print(f"kernel outcome: {verdict.outcome}")
    print(f"scenario {item.name} [{item.firmware} {item.qemu}]: "
          f"{'FAILED' if verdict.problems else 'passed'} "
          f"({result.ending}, {result.duration:.1f} s)")
    if verdict.problems:
        print("".join(f"  - {problem}\n" for problem in verdict.problems)
              + f"  the serial output is in {run_dir}")
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    return not verdict.problems


def show_live(data):
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", metavar="NAME")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--run", action="store_true")
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--kernel")
    parser.add_argument("--initrd")
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    if args.list:
        print("".join(f"{item.name} {','.join(item.labels)} {int(item.deadline) + 60}\n"
                      for item in scenarios.TABLE), end="")
        return 0
    if args.run:
        kernel = Path(args.kernel or build / "test-kernel.elf").read_bytes()
        ending = "kernel" if b"[ktest] " in kernel else "picture" if kernel == (
            build / "example-kernel.elf").read_bytes() else "outcome"
        item = scenarios.Scenario(
            "run", qemu="-M q35 -m 1G", kernel=kernel, ending=ending,
            ramdisk=Path(args.initrd).read_bytes() if args.initrd else "sample",
            deadline=30.0 if ending == "outcome" else 120.0)
        return 0 if run(item, build, on_output=show_live) else 1
    return 0 if all([run(scenarios.SCENARIOS[name], build) for name in args.names]) else 1


if __name__ == "__main__":
    sys.exit(main())
