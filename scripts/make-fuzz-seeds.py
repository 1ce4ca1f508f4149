#!/usr/bin/env python3
"""Writes the committed seed inputs of the fuzz targets (tests/fuzz/seeds/<target>/),
in the field order each target reads. Run from anywhere; it rewrites them all."""

import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent.parent / "tests" / "fuzz" / "seeds"
P = lambda fmt, *v: struct.pack("<" + fmt, *v)
pages = lambda n: P("H", n)  # a FuzzInput value of n pages (n < 0x8000)
wild = lambda v: P("H", 0xFFFF) + P("Q", v)
addr = lambda v: P("B", 0xBF) + P("Q", v)  # full width, page-aligned


def region(kind, repeat, typ, base, size, step=pages(0)):
    return P("B", kind | 0x80) + P("H", repeat) + P("B", typ) + base + size + step


def ledger(repeat, base, length, step):
    return region(0, repeat, 0, base, length, step)


def mmap_call(query, status, stride, count, extra=0):
    return P("BBHHBQIQH", query, status, stride, count, extra, 0x77, 1, 0x100000, 4096)


def file_read(flags, size, reads=b"", info=(0, 0, 80)):
    return P("BBBHI", flags, *info, size) + reads


SEEDS = {
    "region_table": {
        "typical": P("B", 8) + b"".join(region(0, 1, t, pages(b), pages(n)) for t, b, n in [
            (3, 0, 1), (7, 1, 0x9F), (0, 0xA0, 0x60), (7, 0x100, 0x700), (2, 0x800, 0x400),
            (4, 0xC00, 0x400), (9, 0x1000, 0x10), (11, 0x7FF0, 0x10)])
            + region(1, 1, 7, pages(0x800), pages(0x100)) + region(1, 1, 7, pages(0x900), P("H", 0x8003))
            + region(2, 3, 0, pages(0x900), pages(1), pages(3)),
        "table-full": P("B", 8) + region(0, 300, 7, pages(0), pages(1), pages(2))
            + region(0, 300, 9, pages(1), pages(1), pages(2)),
        "carve-full": P("B", 8) + region(1, 8300, 7, pages(0), pages(1), pages(1))
            + region(0, 1, 7, pages(0), pages(0x3000)),
        "odd-stride": P("B", 1) + region(0, 2, 7, pages(0), pages(1), pages(1)),
        "overflow": P("B", 16) + region(0, 1, 7, wild(2**64 - 4096), pages(1)),
    },
    "page_tables": {
        "typical": P("BB", 0, 3) + P("B", 7) + addr(0x100000) + P("H", 0x300)
            + P("B", 3) + addr(0x40000000 - 0x2000) + P("H", 4) + P("B", 2) + addr(0x8000000000) + P("H", 1)
            + addr(0xFFFFFFFF80000000) + addr(0x200000) + P("I", 0x5000)
            + P("B", 1) + addr(0x80000000) + P("HH", 8, 4096),
        "kernel-over-direct-map": P("BB", 0, 1) + P("B", 7) + addr(0x1FF000) + P("H", 2)
            + addr(0xFFFF800000200000) + addr(0x5000) + P("I", 0x3000),
        "no-direct-map": P("BB", 8, 1) + P("B", 7) + addr(2**47) + P("H", 1),
    },
    "utf8": {
        "ascii": b"\x10integer overflow",
        "chinese-and-emoji": b"\x05" + "装载失败😀x".encode(),
        "overlong-and-surrogate": b"\xff" + b"\xc0\xaf\xe0\x80\xaf\xed\xa0\x80",
        "cut-at-997": b"\x00" + b"a" * 996 + "😀".encode() + b"b",
    },
    "page_ledger": {
        "back-to-back": ledger(4, pages(0x100), pages(2), pages(2)),
        "pool-blocks": ledger(3, P("H", 0x8101), P("H", 0x8001), P("H", 0x8001)),
        "full-then-extend": ledger(8200, pages(0), pages(1), pages(2)) + ledger(1, pages(16383), pages(1), pages(0)),
        "overflow": ledger(1, wild(2**64 - 10), pages(1), pages(0)),
    },
    "memory_map": {
        "query-then-read": mmap_call(1, 0x80, 48, 40) + mmap_call(0, 0, 48, 72),
        "stride-0": mmap_call(1, 0, 0, 5),
        "remainder": mmap_call(0, 0, 48, 3, 0x85),
        "errors": mmap_call(0, 0x80, 48, 3) + mmap_call(0, 0x81, 48, 3) + mmap_call(0, 0x82, 48, 3),
    },
    "file_read": {
        "small": file_read(0x00, 5000),
        "three-chunks-short-read": file_read(0x01, 3 * 2**20 - 7, bytes([0xB0, 0, 0, 0])),
        "info-too-large": file_read(0x00, 100, info=(0, 0x80, 600)),
        "cannot-open": file_read(0x01, 100, info=(0x83, 0, 80)),
        "count-too-large": file_read(0x00, 5000, bytes([0xC3])),
        "read-fails": file_read(0x00, 100, bytes([0xE1])),
    },
}

for target, seeds in SEEDS.items():
    (HERE / target).mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (HERE / target / name).write_bytes(data)
