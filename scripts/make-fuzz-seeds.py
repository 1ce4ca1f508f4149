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


def page_record(kind, typ, base, length):
    """A page_tables record: kind 0 a descriptor of `length` bytes of pages
    (kind 0x40: a page count past 2^52), 1 the kernel (`typ` pages at `base` on
    physical `length`), 2 a framebuffer (`typ` + 1 lines of `length` bytes at
    `base`), 3 a fifth level (0x43: the GDT, `typ` 1 the IDT, of `length`
    bytes at `base`)."""
    return P("BB", kind, typ) + wild(base) + wild(length) + pages(0)


def table_seed(descriptors, fb=None, five_level=False, stride=0):
    """Descriptors (type, base, pages), the kernel at 0xffffffff80000000 (5
    pages at 48 MiB), perhaps a framebuffer of 256 lines of 12288 bytes."""
    out = P("B", stride) + b"".join(page_record(0, t, b, n * 4096) for t, b, n in descriptors)
    out += page_record(1, 5, 0xFFFFFFFF80000000, 0x3000000)
    out += page_record(2, 255, fb, 12288) if fb is not None else b""
    return out + (page_record(3, 0, 0, 0) if five_level else b"")


def file_read(flags, size, reads=b"", info=(0, 0, 80)):
    return P("BBBHI", flags, *info, size) + reads


def elf(headers, entry=None, length=None, phoff=64, phentsize=56, patches=()):
    """An x86-64 ELF64 executable with program headers (type, offset, vaddr,
    filesz, memsz), its entry in the first segment unless given; `patches`
    then overwrite file-header fields (offset, width, value). Bytes outside
    the headers hold a pattern, so copied data is told from zero fill."""
    end = max([64, phoff + len(headers) * phentsize] + [h[1] + h[3] for h in headers if h[1] + h[3] < 2**64])
    out = bytearray(bytes(64) + bytes((i * 131 + 7) & 0xFF for i in range(64, length or end)))
    put = lambda at, width, value: out.__setitem__(slice(at, min(at + width, len(out))),
                                                   (value % 2**(8 * width)).to_bytes(width, "little")[:max(0, len(out) - at)])
    entry = headers[0][2] + 0x20 if entry is None else entry
    for at, width, value in [(0, 4, 0x464C457F), (4, 1, 2), (5, 1, 1), (6, 1, 1), (16, 2, 2), (18, 2, 62),
                             (20, 4, 1), (24, 8, entry), (32, 8, phoff), (52, 2, 64), (54, 2, phentsize),
                             (56, 2, len(headers))]:
        put(at, width, value)
    for i, (typ, offset, vaddr, filesz, memsz) in enumerate(headers):
        at = phoff + i * phentsize
        if at < len(out):
            for field, width, value in [(0, 4, typ), (4, 4, 7), (8, 8, offset), (16, 8, vaddr), (24, 8, 0x1234),
                                        (32, 8, filesz), (40, 8, memsz), (48, 8, 0x1000)]:
                put(at + field, width, value)
    for at, width, value in patches:
        put(at, width, value)
    return bytes(out)


BASE, LOW, HIGH, TOP = 0xFFFFFFFF80000000, 0x00007FFFFFFFF000, 0xFFFF800000000000, 2**64 - 4096
# A page of code, then three of data of which the file holds 256 bytes.
TWO = [(1, 0x1000, BASE, 4096, 4096), (1, 0x2000, BASE + 8192, 256, 12288)]
one = lambda vaddr, memsz, filesz=0x100: elf([(1, 0x1000, vaddr, filesz, memsz)], entry=vaddr)
segments = lambda count: elf([(1, 0x1000, BASE + 0x1000 * i, 0x100, 0x1000) for i in range(count)], entry=BASE)

SEEDS = {
    # The edge of every rule of the check; the target names what each must give.
    "kernel_image": {
        "63-byte-file": elf(TWO, length=63),
        "no-elf-magic": elf(TWO, patches=[(0, 1, 0x7E)]),
        "32-bit-class": elf(TWO, patches=[(4, 1, 1)]),
        "machine-before-type": elf(TWO, patches=[(16, 2, 3), (18, 2, 40)]),
        "shared-object": elf(TWO, patches=[(16, 2, 3)]),
        "header-stride-55": elf(TWO, phentsize=55),
        "header-stride-64": elf(TWO, phentsize=64),
        "no-program-headers": elf(TWO, patches=[(56, 2, 0)]),
        "last-header-a-byte-past-the-end": elf(TWO + [(4, 0, 0, 0, 0)], phoff=0x2100, length=0x2100 + 3 * 56 - 1),
        "file-size-above-memory-size": one(BASE, 16, 17),
        "data-a-byte-past-the-end": elf(TWO, length=0x20FF),
        "data-ending-at-the-end": elf(TWO, length=0x2100),
        "memory-size-0-skips-a-header": one(BASE, 0, 100),
        "eight-segments": segments(8),
        "nine-segments": segments(9),
        "entry-in-the-gap": elf(TWO, entry=BASE + 4096),
        "entry-on-the-last-byte": elf(TWO, entry=BASE + 20479),
        "entry-at-the-image-end": elf(TWO, entry=BASE + 20480),
        "unaligned-lowest-address": one(BASE + 0x10, 16),
        "ending-at-the-hole": one(LOW, 0x1000, 16),
        "crossing-into-the-hole": one(LOW, 0x1001, 16),
        "starting-at-the-upper-half": one(HIGH, 0x1000),
        "starting-a-page-below-it": one(HIGH - 0x1000, 0x2000),
        "segments-on-both-sides-of-the-hole": elf([TWO[0], (1, 0x2000, 0x4000, 256, 12288)]),
        "header-offset-past-2-64": elf(TWO, phoff=2**64 - 51, length=0x2100),
        "segment-bytes-past-2-64": elf([TWO[0], (1, 2**64 - 11, BASE + 8192, 256, 12288)], length=0x2100),
        "segment-in-the-top-page": one(TOP, 16, 16),
        "segment-ending-where-the-top-page-starts": one(TOP - 0x1000, 0x1000, 16),
        "non-canonical-then-data-past-the-end": elf([(1, 0x1000, LOW + 0x1000, 16, 16), (1, 0x9000, BASE, 16, 16)],
                                                     entry=BASE, length=0x2100),
    },
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
        # A range that meets exactly as many carve intervals as the pieces hold.
        "carve-pieces-4096": P("B", 8) + region(1, 4096, 7, pages(0), pages(1), pages(1))
            + region(0, 1, 7, pages(0), pages(0x2000)),
        "odd-stride": P("B", 1) + region(0, 2, 7, pages(0), pages(1), pages(1)),
        "overflow": P("B", 16) + region(0, 1, 7, wild(2**64 - 4096), pages(1)),
    },
    "page_tables": {
        "typical": table_seed([(7, 0x100000, 0x300), (3, 2**30 - 0x2000, 4), (2, 0x8000000000, 1)], fb=0x80000000),
        "kernel-over-direct-map": P("B", 0) + page_record(0, 7, 0x1FF000, 0x2000)
            + page_record(1, 3, 0xFFFF800000200000, 0x5000),
        "no-direct-map": table_seed([(7, 2**47, 1)], stride=8),
        "page-count-past-2-52": P("B", 0) + page_record(0x40, 7, 0x100000, 1),
        "kernel-at-the-top": P("B", 0x81) + page_record(1, 2, 2**64 - 0x2000, 2**64 - 0x1000),
        # The kernel's last page on the top physical page: the cursor would pass 2^64.
        "physical-cursor-at-the-top": P("B", 0) + page_record(1, 2, 0x40000000, 2**64 - 0x2000),
        # Ranges in address order, where the estimate must be exact.
        "ram-ending-at-2mib": table_seed([(7, 0x100000, 256)]),
        "ram-ending-at-1gib": table_seed([(7, 2**30 - 2**21, 512)]),
        "ranges-meeting-at-2mib": table_seed([(7, 0x100000, 256), (4, 2**21, 512)]),
        "ram-across-1gib": table_seed([(7, 2**30 - 0x1000, 2), (7, 2**31, 512)]),
        # Unusable memory (8) and MMIO (11) beside RAM: never mapped.
        "unusable-and-mmio": table_seed([(7, 0x100000, 256), (8, 0x200000, 16), (11, 0x300000, 4)]),
        # A GDT where no RAM is, in order after the RAM and before the kernel.
        "descriptor-table-alone": table_seed([(7, 0x100000, 256)])
            + page_record(0x43, 0, 0xFFFDD700, 0x38),
        "framebuffer-ending-at-2mib": table_seed([(7, 0x100000, 256)], fb=2**40 + 4 * 2**21 - 256 * 12288),
        "fifth-level": table_seed([(7, 0, 1)], five_level=True),
    },
    "utf8": {
        "ascii": b"\x10integer overflow",
        "chinese-and-emoji": b"\x05" + "装载失败😀x".encode(),
        "overlong-and-surrogate": b"\xff" + b"\xc0\xaf\xe0\x80\xaf\xed\xa0\x80",
        "cut-at-997": b"\x00" + b"a" * 996 + "😀".encode() + b"b",
        # The last code point and the first past it, each after a two-unit one.
        "last-code-point": b"\x04" + "😀\U0010ffff".encode(),
        "past-the-last": b"\x04" + "😀".encode() + b"\xf4\x90\x80\x80",
        "pair-at-the-cut": b"\x03" + "a😀".encode(),
        "pair-just-fits": b"\x03" + "😀a\uffff".encode(),
        "first-pair-at-the-cut": b"\x02" + "a\U00010000".encode(),
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
        "read-delivers-nothing": file_read(0x00, 100, bytes([0xA0])),
    },
    # Shape byte, then the message: 55 and 56 bytes put the length in the
    # padding's own block or not; 0xc8 repeats the message to 4 KiB.
    "sha256": {
        "abc": b"\x00abc",
        "55-bytes": b"\x01" + b"a" * 55,
        "56-bytes": b"\x02" + b"a" * 56,
        "repeated-in-odd-pieces": b"\xc8" + bytes(range(251)),
    },
}

for target, seeds in SEEDS.items():
    (HERE / target).mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (HERE / target / name).write_bytes(data)
