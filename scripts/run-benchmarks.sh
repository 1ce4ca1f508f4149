#!/usr/bin/env bash
# Runs the host benchmark and the QEMU boot timings and writes the figures,
# with the machine they were measured on, to docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
memory=${QUILLMOR_BENCH_MEMORY:-1G 16G 64G 1T}

"$build/bench/quillmor_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$build/bench-host.json" --benchmark_out_format=json

# The measurement image logs the table pages obtained and used; the test
# kernel's checks run at every size.
# shellcheck disable=SC2086
python3 tests/e2e/boot_timing.py --build-dir "$build" --loader "$build/quillmor-table-report.efi" \
    --memory $memory --json "$build/bench-boot.json"

python3 scripts/write_performance_doc.py "$build/bench-host.json" "$build/bench-boot.json" \
    docs/performance.md
echo "figures written to docs/performance.md"
