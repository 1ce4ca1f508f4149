"""ELF64 kernel images for the end-to-end scenarios: a reader that works out
what the loader must report for a kernel file (or which rejection it must
name), and a writer for crafted kernel files.

The reader follows the loader's acceptance rules test by test, in the
loader's order, so that each crafted file can be checked to fail at exactly
the test it was made for.
"""

import dataclasses
import struct

PT_NULL = 0
PT_LOAD = 1
PT_NOTE = 4
PT_GNU_STACK = 0x6474E551

ET_EXEC = 2
ET_DYN = 3
EM_X86_64 = 62
EM_AARCH64 = 183

PAGE = 4096
HEADER_SIZE = 64
PROGRAM_HEADER_SIZE = 56
MAX_SEGMENTS = 8
DIRECT_MAP_OFFSET = 0xFFFF800000000000
CANONICAL_LOW_END = 1 << 47

_FILE_HEADER = struct.Struct("<4sBBBB8xHHIQQQIHHHHHH")
_PROGRAM_HEADER = struct.Struct("<IIQQQQQQ")


@dataclasses.dataclass
class Plan:
    entry: int
    virtual_base: int
    virtual_end: int
    image_size: int
    segments: int


def _canonical(start, end):
    """Whether every address of [start, end) is canonical."""
    return end <= CANONICAL_LOW_END or start >= DIRECT_MAP_OFFSET


def plan_kernel(data):
    """The load plan of a kernel file, or the name of the error it must be
    rejected with."""
    if len(data) < HEADER_SIZE:
        return "BadHeader"
    (magic, ei_class, _, _, _, e_type, e_machine, _, e_entry, e_phoff, _, _, _,
     e_phentsize, e_phnum, _, _, _) = _FILE_HEADER.unpack_from(data)
    if magic != b"\x7fELF" or ei_class != 2:
        return "NotElf64"
    if e_machine != EM_X86_64:
        return "NotX86_64"
    if e_type != ET_EXEC:
        return "NotExecutable"
    if e_phentsize < PROGRAM_HEADER_SIZE:
        return "BadHeader"
    if e_phnum == 0:
        return "EmptyImage"

    loadable = []
    for index in range(e_phnum):
        offset = e_phoff + index * e_phentsize
        if offset + PROGRAM_HEADER_SIZE > len(data):
            return "BadHeader"
        p_type, _, p_offset, p_vaddr, _, p_filesz, p_memsz, _ = \
            _PROGRAM_HEADER.unpack_from(data, offset)
        if p_type != PT_LOAD or p_memsz == 0:
            continue
        if p_filesz > p_memsz:
            return "BadHeader"
        if p_offset + p_filesz > len(data):
            return "SegmentOutOfFile"
        if len(loadable) == MAX_SEGMENTS:
            return "TooManySegments"
        if p_vaddr + p_memsz >= 1 << 64:
            return "BadHeader"
        loadable.append((p_vaddr, p_vaddr + p_memsz))
    if not loadable:
        return "EmptyImage"

    # Refused because the kernel could not run as mapped: an entry point
    # outside every loadable segment, an image (mapped as one range from its
    # lowest to its highest address) reaching non-canonical addresses, a
    # lowest address that is not page-aligned.
    # The top page of the address space has no end address to map up to.
    if max(end for _, end in loadable) > (1 << 64) - PAGE:
        return "BadHeader"
    if not any(start <= e_entry < end for start, end in loadable):
        return "BadHeader"
    base = min(start for start, _ in loadable)
    if not _canonical(base, max(end for _, end in loadable)):
        return "BadHeader"
    if base % PAGE:
        return "BadHeader"
    end = max(end for _, end in loadable)
    return Plan(entry=e_entry, virtual_base=base, virtual_end=end,
                image_size=(end - base + PAGE - 1) // PAGE * PAGE, segments=len(loadable))


@dataclasses.dataclass
class Segment:
    """One program header. `data` is what the file holds for it; `filesz`
    and `offset` override what the header claims."""
    vaddr: int
    memsz: int
    data: bytes = b""
    type: int = PT_LOAD
    filesz: int = None
    offset: int = None


def build_elf(segments, entry, *, ei_class=2, e_type=ET_EXEC, machine=EM_X86_64,
              phentsize=PROGRAM_HEADER_SIZE, phnum=None, table_at_end=False, cut=0):
    """An ELF64 file: the file header, then either the program header table
    and the segment bytes, or (table_at_end) the segment bytes and the table.
    Header slots wider than 56 bytes are padded with 0xa5 filler, so a reader
    that takes the wrong stride sees garbage. `cut` drops that many bytes
    from the end of the file."""
    table_size = phentsize * len(segments)
    data_start = HEADER_SIZE if table_at_end else HEADER_SIZE + table_size
    body = bytearray()
    offsets = []
    for segment in segments:
        body += bytes(-len(body) % 16)
        offsets.append(data_start + len(body))
        body += segment.data
    table = bytearray()
    for segment, offset in zip(segments, offsets):
        filesz = len(segment.data) if segment.filesz is None else segment.filesz
        offset = offset if segment.offset is None else segment.offset
        entry_bytes = _PROGRAM_HEADER.pack(segment.type, 7, offset, segment.vaddr,
                                           segment.vaddr, filesz, segment.memsz, PAGE)
        table += entry_bytes[:phentsize] + b"\xa5" * max(0, phentsize - len(entry_bytes))
    phoff = data_start + len(body) if table_at_end else HEADER_SIZE
    header = _FILE_HEADER.pack(b"\x7fELF", ei_class, 1, 1, 0, e_type, machine, 1, entry, phoff,
                               0, 0, HEADER_SIZE, phentsize,
                               len(segments) if phnum is None else phnum, 0, 0, 0)
    image = header + (bytes(body) + bytes(table) if table_at_end else bytes(table) + bytes(body))
    return image[:len(image) - cut] if cut else image
