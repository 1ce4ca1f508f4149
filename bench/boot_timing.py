#!/usr/bin/env python3
"""Boots the test kernel on q35 at several memory sizes and reports, per
size, the loader's own time (from the first byte of its banner to the last
byte of its handoff line, by the arrival times of the serial bytes), the
summary line's region count and page-ledger count, and whether the test
kernel's checks passed.

    boot_timing.py --build-dir build --memory 1G 16G 64G 1T [--json FILE]
    boot_timing.py --build-dir build --seal-compare 64 --repeat 3 [--json FILE]

With --seal-compare MIB it boots 1 GiB machines with a ramdisk of MIB MiB
instead, unsealed and sealed in turn (quillmor-seal beside the loader), so
that the loader times show what verifying the files costs.

The table goes to stdout; with --json FILE the figures are also written as
JSON to FILE ('-' for stdout, the table then goes to stderr). Exit status 0
when every boot passed, 1 when one did not, 2 when the bench could not run.
"""

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import judge  # noqa: E402
import scenarios  # noqa: E402
from machine import boot, make_disk, memory_options, parse_size  # noqa: E402

HANDOFF_TEXT = "退出引导服务，交接给内核（交接结构=".encode()

# The measurement build of the loader adds this one line after the page-table
# line: the table pages the tables used and the pages obtained for them.
TABLE_PAGE_LINE = re.compile(r"\[quillmor\] 页表页 已用=(\d+) 预留=(\d+) 段数=(\d+)\r\n".encode())


def format_size(size):
    for unit, scale in (("T", 1 << 40), ("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if size % scale == 0:
            return f"{size // scale}{unit}"
    return str(size)


def time_of(result, offset):
    """Arrival time of the serial byte at `offset`."""
    seen = 0
    for stamp, data in result.chunks:
        seen += len(data)
        if offset < seen:
            return stamp
    raise IndexError(offset)


def split_table_page_line(result):
    """The result as the ordinary loader would have logged it, and the
    table-page figures of the measurement build (None without that line)."""
    found = TABLE_PAGE_LINE.search(result.raw)
    if not found:
        return result, None
    figures = {"table_pages_used": int(found.group(1)),
               "table_pages_obtained": int(found.group(2)),
               "table_page_runs": int(found.group(3))}
    return result._replace(raw=result.raw.replace(found.group(0), b"")), figures


def deadline_for(size):
    gib = size / (1 << 30)
    return 180.0 if gib <= 4 else 240.0 if gib <= 16 else 300.0 if gib <= 64 else 600.0


def measure(build, loader, kernel, memory, deadline, keep, ramdisk=None, sealed=False):
    run_dir = Path(tempfile.mkdtemp(prefix=f"quillmor-timing-{memory}-"))
    size = parse_size(memory)
    item = scenarios.Scenario("timing", qemu=memory_options(memory), kernel=kernel.read_bytes(),
                              ramdisk=ramdisk or "sample", sealed=sealed,
                              extension=f"flags={2 if sealed else 0} cmdline=",
                              deadline=deadline or deadline_for(size))
    files = scenarios.volume(item, build, loader, run_dir)
    # Other work on the machine stretches every figure; say how much there was.
    load_average = round(os.getloadavg()[0], 2)
    result = boot(item.firmware, item.qemu, make_disk(run_dir / "disk.img", files), run_dir,
                  item.deadline)
    checked, table_pages = split_table_page_line(result)
    report = judge.judge(item, checked, files)

    figures = {"memory": format_size(size), "memory_bytes": size,
               "loader_seconds": None, "firmware_seconds": None, "kernel_seconds": None,
               "total_seconds": round(result.duration, 3),
               "regions": report.values.get("regions"),
               "ledger_ranges": report.values.get("ledger"),
               "descriptors": report.values.get("descriptors"),
               "kernel_checks_passed": report.values.get("checks"),
               "kernel_checks_failed": checked.raw.count(b"[ktest] FAIL"),
               "passed": not report.problems, "ending": result.ending,
               "problems": report.problems,
               "artifacts": None, "load_average": load_average, "sealed": sealed,
               "ramdisk_bytes": len(files[scenarios.RAMDISK_FILE]), **(table_pages or {})}
    banner = result.raw.find(judge.BANNER)
    handoff = result.raw.find(HANDOFF_TEXT, max(banner, 0))
    if banner >= 0:
        figures["firmware_seconds"] = round(time_of(result, banner), 3)
    if banner >= 0 and handoff >= 0:
        line_end = result.raw.find(b"\n", handoff)
        if line_end >= 0:
            handed_over = time_of(result, line_end)
            figures["loader_seconds"] = round(handed_over - time_of(result, banner), 3)
            if result.exit_status is not None:
                figures["kernel_seconds"] = round(result.duration - handed_over, 3)
    if not report.problems and not keep:
        shutil.rmtree(result.run_dir, ignore_errors=True)
    else:
        figures["artifacts"] = str(result.run_dir)
    return figures


def table(rows):
    def cell(value, digits=None):
        if value is None:
            return "-"
        return f"{value:.{digits}f}" if digits is not None else str(value)

    lines = [f"{'memory':>7} {'sealed':>6} {'loader s':>9} {'regions':>8} {'ledger':>7} {'kernel':>7} "
             f"{'firmware s':>11} {'total s':>8}"]
    for row in rows:
        lines.append(f"{row['memory']:>7} {'yes' if row['sealed'] else 'no':>6} "
                     f"{cell(row['loader_seconds'], 3):>9} "
                     f"{cell(row['regions']):>8} {cell(row['ledger_ranges']):>7} "
                     f"{'passed' if row['passed'] else 'FAILED':>7} "
                     f"{cell(row['firmware_seconds'], 1):>11} {cell(row['total_seconds'], 1):>8}")
        for problem in row["problems"]:
            lines.append(f"{'':>7} ! {problem.splitlines()[0]}")
        if row["artifacts"]:
            lines.append(f"{'':>7}   artifacts: {row['artifacts']}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--loader", help="the loader image (default: BUILD/quillmor.efi)")
    parser.add_argument("--kernel", help="the test kernel (default: BUILD/test-kernel.elf)")
    parser.add_argument("--memory", nargs="+", default=["1G", "16G", "64G", "1T"],
                        help="guest memory sizes (default: 1G 16G 64G 1T)")
    parser.add_argument("--deadline", type=float, help="seconds allowed per boot")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--keep", action="store_true", help="keep every run's directory")
    parser.add_argument("--seal-compare", type=int, metavar="MIB",
                        help="boot 1 GiB with a ramdisk of MIB MiB, unsealed and sealed in turn")
    parser.add_argument("--repeat", type=int, default=1, help="pairs of boots to compare")
    args = parser.parse_args()

    build = Path(args.build_dir)
    loader = Path(args.loader or build / "quillmor.efi")
    kernel = Path(args.kernel or build / "test-kernel.elf")
    out = sys.stderr if args.json == "-" else sys.stdout
    rows = []
    try:
        if args.seal_compare:
            ramdisk = bytes(range(251)) * ((args.seal_compare << 20) // 251 + 1)
            ramdisk = ramdisk[:args.seal_compare << 20]
            for run in range(args.repeat):
                for sealed in (False, True):
                    print(f"booting with a {args.seal_compare} MiB ramdisk, "
                          f"{'sealed' if sealed else 'unsealed'} ({run + 1}/{args.repeat}) ...",
                          file=sys.stderr, flush=True)
                    rows.append(measure(build, loader, kernel, "1G", args.deadline, args.keep, ramdisk,
                                        sealed))
        for memory in [] if args.seal_compare else args.memory:
            parse_size(memory)
            print(f"booting with {memory} ...", file=sys.stderr, flush=True)
            rows.append(measure(build, loader, kernel, memory, args.deadline, args.keep))
    except (OSError, subprocess.CalledProcessError, ValueError) as error:
        print(f"cannot run: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130

    print(table(rows), file=out, flush=True)
    if args.json:
        document = {"host": {"machine": platform.machine(), "processor": _processor_name(),
                             "cpus": _cpu_count(), "qemu_accelerator": "tcg"},
                    "boots": rows}
        text = json.dumps(document, indent=2, ensure_ascii=False) + "\n"
        if args.json == "-":
            sys.stdout.write(text)
        else:
            Path(args.json).write_text(text, encoding="utf-8")
    return 0 if all(row["passed"] for row in rows) else 1


def _processor_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _cpu_count():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


if __name__ == "__main__":
    sys.exit(main())
