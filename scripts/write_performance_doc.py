#!/usr/bin/env python3
"""Turns the JSON figures of the host benchmark and the QEMU boot timings
into docs/performance.md.

    write_performance_doc.py HOST.json BOOT.json OUT.md
"""

import datetime
import json
import platform
import re
import subprocess
import sys
from pathlib import Path


def command_version(command):
    try:
        output = subprocess.run(command, capture_output=True, text=True, check=False).stdout
    except OSError:
        return "unknown"
    return output.splitlines()[0].strip() if output else "unknown"


def package_version(package):
    return command_version(["dpkg-query", "-W", "-f=${Version}", package])


def memory_total():
    text = Path("/proc/meminfo").read_text()
    kib = int(re.search(r"MemTotal:\s+(\d+)", text).group(1))
    return f"{kib / (1 << 20):.1f} GiB"


def host_rows(host):
    rows = []
    for bench in host["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        gib = re.search(r"GiB:(\d+)", bench["name"]).group(1)
        rows.append(f"| {gib} GiB | {int(bench['pages_mapped']):,} | {int(bench['table_pages']):,} "
                    f"| {bench['ns_per_page']:.3f} | {bench['memset_ns_per_page']:.3f} "
                    f"| {bench['ratio_to_memset']:.2f} | {bench['ratio_to_page_memset']:.2f} |")
    return rows


def boot_rows(boot):
    rows = []
    for run in boot["boots"]:
        def value(key, form="{}"):
            return form.format(run[key]) if run.get(key) is not None else "-"
        checks = (f"{run['kernel_checks_passed']} passed" if run["passed"] else "FAILED")
        rows.append(f"| {run['memory']} | {value('loader_seconds', '{:.3f}')} "
                    f"| {value('firmware_seconds', '{:.1f}')} | {value('regions')} "
                    f"| {value('ledger_ranges')} | {value('table_pages_used', '{:,}')} "
                    f"| {value('table_pages_obtained', '{:,}')} | {value('table_page_runs')} "
                    f"| {checks} |")
    return rows


def main():
    host = json.loads(Path(sys.argv[1]).read_text())
    boot = json.loads(Path(sys.argv[2]).read_text())
    context = host.get("context", {})
    lines = [
        "# Performance",
        "",
        "Written by `make bench` (scripts/run-benchmarks.sh); rerun it to refresh.",
        "",
        "## Machine",
        "",
        f"- measured: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- processor: {boot['host']['processor']}, {boot['host']['cpus']} CPUs "
        f"({context.get('mhz_per_cpu', '?')} MHz), {memory_total()} RAM",
        f"- system: {platform.system()} {platform.release()}",
        f"- compiler: {command_version(['clang++', '--version'])}",
        f"- QEMU: {command_version(['qemu-system-x86_64', '--version'])}, "
        "software emulation (TCG)",
        f"- OVMF: Debian package ovmf {package_version('ovmf')}",
        "",
        "## Page-table builder on the host",
        "",
        "`map_physical_memory` over synthetic PC-like memory maps, tables in host memory",
        "(Google Benchmark, median of 5). A page is one 4 KiB leaf: identity and direct map",
        "each count. The memset figures write the same number of table bytes in the same",
        "run, once as one call and once a page per call, the way the builder clears its",
        "tables. The benchmark is compiled for the host processor, so the builder's entry",
        "loop gets the same vector width that the C library's memset picks at run time.",
        "",
        "| RAM | leaves | table pages | ns per leaf | memset ns per leaf | ratio to one memset "
        "| ratio to memset per page |",
        "|---|---|---|---|---|---|---|",
        *host_rows(host),
        "",
        "## Booting the test kernel in QEMU",
        "",
        "q35 with OVMF, RAM backed lazily for the large sizes. The loader's time runs from the",
        "arrival of its banner to the end of its handoff line on the serial port. Table pages",
        "come from the measurement image (`quillmor-table-report.efi`), which logs the pages",
        "the tables used (the root included) and the pages obtained for them; the test kernel",
        "counts the used pages independently and its checks ran in every boot.",
        "",
        "| RAM | loader s | firmware s | regions | ledger ranges | table pages used "
        "| table pages obtained | runs | test kernel |",
        "|---|---|---|---|---|---|---|---|---|",
        *boot_rows(boot),
        "",
        "## Reading the figures",
        "",
        "- The builder clears each new table and then writes its entries, so it writes every",
        "  table byte twice; against memset a page at a time it costs about the same, since",
        "  the entries land in lines the clearing has just brought into the cache. A single",
        "  large memset streams with non-temporal stores and pays no read for ownership,",
        "  which the builder's stores always pay once the tables no longer fit in the cache:",
        "  that is the gap left at 256 GiB.",
        "- Under QEMU the loader's time grows with the table bytes written (about 8 KiB of",
        "  stores per table page, plus the first touch of lazily backed guest memory); the",
        "  firmware's own start dominates up to 64 GiB.",
        "- The table pages obtained exceed those used by the few tables that the kernel and",
        "  framebuffer mappings might have needed but found already made; each run of table",
        "  pages is one page-ledger range, so the ledger stays at a handful of ranges at",
        "  every size.",
        "",
    ]
    Path(sys.argv[3]).write_text("\n".join(lines))


if __name__ == "__main__":
    main()
