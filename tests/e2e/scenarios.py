"""The end-to-end scenarios as one table: for each, the firmware and QEMU's
options, what goes on the boot volume (through which boot manager, which
kernel and ramdisk), and the ending the run must reach, judged by judge.py.

Endings: "kernel" (the test kernel's oracle passes, its report matching
`report`), "crafted" (the crafted kernel finds its segments in place),
"example" and "picture" (the example kernel's summary, and its drawing on the
display; "poweroff": the summary, then QEMU switched off), "stop" (`expect` is
(n, fatal line): the first n lines of a boot, then that line, then a halt),
"exception" (a complete boot, then the firmware's exception report holding the
texts `expect`), "refused" (Secure Boot refuses the image before it runs).
"""

import dataclasses

from judge import CMDLINE_FILE, KERNEL_FILE, RAMDISK_FILE
from machine import memory_options, need, run_tool

BOOT_PATH, CHAINED_PATH = "EFI/BOOT/BOOTX64.EFI", "EFI/quillmor/quillmor.efi"
LINK_BASE = 0xFFFFFFFF80000000


def elf(segments, entry, e_type=2, machine=62, ei_class=2):
    """An ELF64 file: the header, 64-byte program-header slots (the loader must
    honour the stride; 0xa5 filler past each 56-byte entry), then the bytes.
    A segment is (type, vaddr, memsz, data)."""
    def words(size, *values):
        return b"".join(value.to_bytes(size, "little") for value in values)

    start, table, body = 64 + 64 * len(segments), b"", b""
    for p_type, vaddr, memsz, data in segments:
        table += words(4, p_type, 7) + words(8, start + len(body), vaddr, vaddr, len(data), memsz,
                                             4096) + b"\xa5" * 8
        body += data + bytes(-len(data) % 16)
    return (b"\x7fELF" + bytes([ei_class, 1, 1]) + bytes(9) + words(2, e_type, machine)
            + words(4, 1) + words(8, entry, 64) + bytes(12)
            + words(2, 64, 64, len(segments), 0, 0, 0)
            + table + body)


# The crafted kernel checks where its segments landed: the first and last
# quadwords of .rodata, the first quadword and the last byte of .data, every
# byte of the .bss tail, the zero fill after the code, and RSP 16-byte aligned
# at entry; it leaves QEMU with 0x10 when all hold, else 0x11.
PLACEMENT_CHECK_CODE = bytes.fromhex(
    "48b8726f646174612100488d1def0f00004839037557483983f8070000754e488d1dda2f0000"
    "48b80001020304050607483903753880bb330200005a752f488d8b34020000488d9345230000"
    "803900751c48ffc14839d172f348833d970f000000750a40f6c40f7504b010eb02b011e6f4faf4ebfc")
EXIT_CODE = bytes.fromhex("b010e6f4faf4ebfc")  # leave QEMU with 0x10, then halt


def crafted_kernel(base=LINK_BASE):
    """Three segments out of address order (.data with a .bss tail, code,
    .rodata), a page no segment covers, and headers to skip: a note below the
    image, a loadable one of memory size 0, a stack marker. Its code runs at
    any base."""
    return elf([(4, base - 0x100000, 32, b"note" * 8),
                (1, base + 0x3000, 0x2345, bytes(range(256)) * 2 + b"\x5a" * 52),
                (1, base - 0x200000, 0, b""),
                (1, base, 0x1000, PLACEMENT_CHECK_CODE),
                (1, base + 0x1000, 0x800, b"rodata!\0" * 256),
                (0x6474E551, 0, 0, b"")], base)


def pages(count):
    return [(1, LINK_BASE + i * 4096, 4096, EXIT_CODE) for i in range(count)]


# Each rejection's name, as the loader logs it, and a file that earns it, in the
# order of quillmor-check's exit statuses (from 10).
REJECTED = {
    "NotElf64": elf(pages(2), LINK_BASE, ei_class=1, e_type=3, machine=183),
    "NotX86_64": elf(pages(2), LINK_BASE, machine=183),
    "NotExecutable": elf(pages(2), LINK_BASE, e_type=3),
    "BadHeader": elf(pages(2), LINK_BASE + 2 * 4096),  # the entry just past the image
    "SegmentOutOfFile": elf(pages(2), LINK_BASE)[:-9],  # its last byte past the end
    "TooManySegments": elf(pages(9), LINK_BASE + 0x100000),
    "EmptyImage": elf([(4, LINK_BASE, 64, b"note")], LINK_BASE),
}


# The command lines the boot managers pass as load options, and the file's:
# each must reach the kernel byte for byte (the test kernel shows it in hex).
GRUB_ARGUMENTS = "console=ttyS0 grub=chainloader quiet"
SYSTEMD_BOOT_OPTIONS = "root=/dev/quill 名字=值 quiet"
COMMAND_LINE_FILE = "from=cmdline.txt 文件 \U0001F600\n".encode()


def grub_manager(run_dir):
    config, image = run_dir / "grub.cfg", run_dir / "grubx64.efi"
    config.write_text(f"search --no-floppy --file --set=root /{CHAINED_PATH}\n"
                      f"chainloader /{CHAINED_PATH} {GRUB_ARGUMENTS}\nboot\n")
    run_tool(["grub-mkstandalone", "-O", "x86_64-efi", "--locales=", "--fonts=", "--themes=",
              "--modules=fat part_gpt search_fs_file chain",
              "--install-modules=fat part_gpt search search_fs_file chain normal configfile",
              "-o", image, f"boot/grub/grub.cfg={config}"], "grub-efi-amd64-bin")
    return {BOOT_PATH: image.read_bytes()}


def systemd_boot_manager(run_dir):
    manager = need("/usr/lib/systemd/boot/efi/systemd-bootx64.efi", "systemd-boot-efi")
    return {BOOT_PATH: manager.read_bytes(), "loader/loader.conf": b"timeout 0\n",
            "loader/entries/quillmor.conf":
                f"title quillmor\nefi /{CHAINED_PATH}\noptions {SYSTEMD_BOOT_OPTIONS}\n".encode()}


def sign(run_dir, image):
    """`image` signed with the key whose certificate Debian's Secure Boot OVMF
    has enrolled (decrypted first: sbsign takes no passphrase)."""
    key, unsigned, signed = (run_dir / name for name in ("key.pem", "unsigned.efi", "signed.efi"))
    unsigned.write_bytes(image)
    run_tool(["openssl", "pkey", "-passin", "pass:snakeoil", "-out", key,
              "-in", need("/usr/share/ovmf/PkKek-1-snakeoil.key", "ovmf")], "openssl")
    certificate = need("/usr/share/ovmf/PkKek-1-snakeoil.pem", "ovmf")
    run_tool(["sbsign", "--key", key, "--cert", certificate, "--output", signed, unsigned],
             "sbsigntool")
    return signed.read_bytes()


def seal(run_dir, loader, files):
    """The loader sealed with the volume's kernel, ramdisk and command-line
    file by quillmor-seal (built beside it)."""
    sealed, arguments = run_dir / "sealed.efi", []
    for option, name in (("--kernel", KERNEL_FILE), ("--initrd", RAMDISK_FILE),
                         ("--cmdline", CMDLINE_FILE)):
        if files.get(name) is not None:
            (run_dir / option[2:]).write_bytes(files[name])
            arguments += [option, run_dir / option[2:]]
    run_tool([loader.parent / "quillmor-seal", loader, *arguments, "-o", sealed], "make")
    return sealed.read_bytes()


@dataclasses.dataclass
class Scenario:
    name: str
    firmware: str = "ovmf"  # "ovmf", "ovmf-secure" or "u-boot"
    qemu: str = "-M q35 -m 256M"
    kernel: object = "test"  # "test", "example", the file's bytes, or None: no file
    ramdisk: object = "sample"  # bytes, "sample" (the build's archive, 2.5 pages), None: no file
    manager: str = None  # "grub", "systemd-boot", or "disk-image" (the build's own disk)
    signed: bool = False  # BOOTX64.EFI signed for Secure Boot
    sealed: bool = False  # the loader sealed with the volume's files
    change: str = None  # the file whose last byte changes after sealing
    ending: str = "kernel"
    expect: object = None
    report: dict = dataclasses.field(default_factory=dict)  # judge.Verdict.test_kernel's
    framebuffers: int = 1
    preamble: bytes = None  # what the firmware or manager writes before the banner
    cmdline_file: bytes = None  # \boot\cmdline.txt on the volume
    debug_exit: bool = True  # the isa-debug-exit device kernels leave QEMU through
    deadline: float = 120.0
    labels: tuple = ("e2e",)


U_BOOT = dict(firmware="u-boot", qemu="-M pc -m 512M", framebuffers=0, preamble=b"U-Boot ")
SECURE_SEALED = dict(firmware="ovmf-secure", sealed=True, signed=True)
KERNEL_HASH = "装载失败：内核散列不符"

TABLE = [
    Scenario("boot-q35-256M"),
    Scenario("boot-q35-4G", qemu=memory_options("4G"), deadline=180.0),
    Scenario("boot-pc-512M-smp2", qemu="-M pc -m 512M -smp 2"),
    Scenario("boot-no-vga", qemu="-M q35 -m 1G -vga none", framebuffers=0),
    Scenario("boot-virtio-gpu", qemu="-M q35 -m 1G -vga none -device virtio-gpu-pci",
             framebuffers=0),
    Scenario("boot-cpu-conroe", qemu="-M q35 -m 1G -cpu Conroe", report=dict(leaf="0x1")),
    Scenario("boot-cpu-max", qemu="-M q35 -m 1G -cpu max", report=dict(leaf="0xb")),
    # U-Boot's stack lies in memory its map calls free, and it passes load
    # options of its own.
    Scenario("boot-u-boot", **U_BOOT, report=dict(region="0", cmdline="[0-9a-f]*")),
    Scenario("boot-grub-chainload", manager="grub", preamble=b"Welcome to GRUB!",
             report=dict(cmdline=GRUB_ARGUMENTS.encode().hex())),
    Scenario("boot-systemd-boot", manager="systemd-boot",
             report=dict(cmdline=SYSTEMD_BOOT_OPTIONS.encode().hex())),
    Scenario("boot-cmdline-file", qemu="-M q35 -m 1G", cmdline_file=COMMAND_LINE_FILE,
             report=dict(cmdline=COMMAND_LINE_FILE.hex())),
    Scenario("boot-secure-sealed-cmdline", **SECURE_SEALED, cmdline_file=COMMAND_LINE_FILE,
             report=dict(flags="3", cmdline=COMMAND_LINE_FILE.hex())),
    # Sealed boot: a sealed loader runs only the files it was sealed with, and
    # under Secure Boot only a sealed one runs; its log is an unsealed one's.
    Scenario("boot-secure-sealed-signed", **SECURE_SEALED,
             preamble=b"BdsDxe: starting Boot0001", report=dict(flags="3")),
    Scenario("secure-sealed-kernel-changed", **SECURE_SEALED, change=KERNEL_FILE, ending="stop",
             expect=(2, KERNEL_HASH)),
    Scenario("secure-sealed-ramdisk-changed", **SECURE_SEALED, change=RAMDISK_FILE,
             ending="stop", expect=(3, "装载失败：内存盘散列不符")),
    Scenario("sealed-kernel-changed", sealed=True, change=KERNEL_FILE, ending="stop",
             expect=(2, KERNEL_HASH)),
    Scenario("secure-signed-unsealed", "ovmf-secure", signed=True, ending="stop",
             expect=(1, "装载失败：安全启动要求封存散列")),
    Scenario("boot-sealed", sealed=True, report=dict(flags="2")),
    Scenario("boot-u-boot-sealed", **U_BOOT, sealed=True, report=dict(region="0", flags="2")),
    Scenario("secure-unsigned-refused", "ovmf-secure", ending="refused"),
    Scenario("crafted-kernel-placement", kernel=crafted_kernel(), ending="crafted",
             ramdisk=bytes((i * 31 + 17) & 0xFF for i in range(70001))),  # opaque, odd length
    Scenario("missing-kernel", kernel=None, ending="stop",
             expect=(1, "打不开：\\boot\\mavotix.elf")),
    Scenario("missing-ramdisk", kernel=crafted_kernel(), ramdisk=None, ending="stop",
             expect=(2, "打不开：\\boot\\initrd.ustar")),
    Scenario("empty-ramdisk", kernel=b"this is not a kernel image\n" * 4, ramdisk=b"",
             ending="stop", expect=(2, "装载失败：文件为空")),
    Scenario("kernel-over-direct-map", kernel=crafted_kernel(0xFFFF800000100000),
             ending="stop", expect=(4, "装载失败：内核链接地址与直接映射重叠")),
    # Before a kernel has an IDT of its own, the firmware's handler reports
    # an exception (OVMF's reads the local APIC first) instead of faulting
    # again in silence.
    Scenario("kernel-ud2-firmware-report", kernel=elf([(1, LINK_BASE, 4096, b"\x0f\x0b")],
                                                      LINK_BASE),
             ending="exception", deadline=60.0,
             expect=(b"!!!! X64 Exception Type - 06(#UD - Invalid Opcode)",
                     b"RIP  - FFFFFFFF80000000")),
    *[Scenario(f"kernel-{name}", kernel=data, ending="stop", expect=(3, f"内核映像不合规：{name}"))
      for name, data in REJECTED.items() if name in ("NotElf64", "BadHeader")],  # format, mapping
    Scenario("example-disk-image", qemu="-M q35 -m 512M", kernel="example",
             manager="disk-image", ending="example"),
    Scenario("example-picture", qemu="-M q35 -m 512M", kernel="example", debug_exit=False,
             ending="picture"),
    # With the command line "poweroff" the example calls ResetSystem through the
    # system table the extension block names, on the loader's tables.
    Scenario("example-runtime-poweroff", qemu="-M q35 -m 512M", kernel="example",
             cmdline_file=b"poweroff", ending="poweroff"),
    *[Scenario(f"boot-q35-{memory}", qemu=memory_options(memory), deadline=deadline,
               labels=("e2e", "scale")) for memory, deadline in (("16G", 300.0), ("64G", 400.0),
                                                                   ("1T", 600.0))],
]
SCENARIOS = {item.name: item for item in TABLE}


def volume(item, build, loader, run_dir):
    """The files of the boot volume, by volume path."""
    built = {"test": "test-kernel.elf", "example": "example-kernel.elf", "sample": "initrd.ustar"}
    kernel, ramdisk = ((build / built[file]).read_bytes() if isinstance(file, str) else file
                       for file in (item.kernel, item.ramdisk))
    files = {KERNEL_FILE: kernel, RAMDISK_FILE: ramdisk, CMDLINE_FILE: item.cmdline_file,
             BOOT_PATH: loader.read_bytes()}
    if item.manager in ("grub", "systemd-boot"):  # the loader as the entry the manager starts
        files[CHAINED_PATH] = files[BOOT_PATH]
        files.update((grub_manager if item.manager == "grub" else systemd_boot_manager)(run_dir))
    if item.sealed:
        files[BOOT_PATH] = seal(run_dir, loader, files)
    if item.change:
        files[item.change] = files[item.change][:-1] + bytes([files[item.change][-1] ^ 1])
    if item.signed:
        files[BOOT_PATH] = sign(run_dir, files[BOOT_PATH])
    return files
