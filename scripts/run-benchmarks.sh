#!/usr/bin/env bash
# Runs the host benchmark and the QEMU boot timings and writes the figures,
# with the machine they were measured on, to docs/performance.md.
#
# The "before" columns come from bench/before/: the same benchmark and boots
# run on the builder as it was before it wrote each table byte once (commit
# 41aee29, whose benchmark already uses the image's flags). To measure them
# again in the same conditions as the current figures, build that commit and
# set QUILLMOR_BENCH_BEFORE to its build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
memory=${QUILLMOR_BENCH_MEMORY:-1G 16G 64G 1T}
before=bench/before

# OpenSSL's SHA-256 beside the loader's: its SHA-extension, AVX, AVX2 and
# SSSE3 code masked (CPUID.1:ECX bits 28 and 9, CPUID.7:EBX bits 29 and 5), so
# that it runs its integer-only code as the loader must.
export OPENSSL_ia32cap="~0x1000020000000000:~0x20000020"

host_bench() { # benchmark binary, JSON output
    "$1" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_out="$2" --benchmark_out_format=json
}

# The measurement image logs the table pages obtained and used; the test
# kernel's checks run at every size.
boots() { # loader image, JSON output
    # shellcheck disable=SC2086
    python3 bench/boot_timing.py --build-dir "$build" --loader "$1" --memory $memory \
        --json "$2"
}

if [[ -n ${QUILLMOR_BENCH_BEFORE:-} ]]; then
    host_bench "$QUILLMOR_BENCH_BEFORE/bench/quillmor_bench" "$before/host.json"
    boots "$QUILLMOR_BENCH_BEFORE/quillmor-table-report.efi" "$before/boot.json"
fi
host_bench "$build/bench/quillmor_bench" "$build/bench-host.json"
boots "$build/quillmor-table-report.efi" "$build/bench-boot.json"
# What verifying the files costs: a 64 MiB ramdisk, unsealed and sealed in turn.
python3 bench/boot_timing.py --build-dir "$build" --seal-compare 64 --repeat 3 \
    --json "$build/bench-seal.json"

python3 scripts/write_performance_doc.py "$build/bench-host.json" "$build/bench-boot.json" \
    "$before/host.json" "$before/boot.json" "$build/bench-seal.json" docs/performance.md
echo "figures written to docs/performance.md"
