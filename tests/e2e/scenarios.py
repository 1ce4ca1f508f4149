"""The end-to-end scenarios as one table: for each, the machine (firmware,
machine type, memory, processor, display), what goes on the boot volume
(through which boot manager, which kernel and ramdisk), and the ending the
run must reach, judged by judge.py.

Endings: "kernel" (the test kernel's oracle passes), "crafted" (the crafted
kernel finds its segments in place), "example" and "picture" (the example
kernel's summary, and its drawing on the display; "poweroff": the summary,
then QEMU switched off), "stop" (the exact log,
then a halt), "late-stop" (the log through the kernel line, then the fatal
line `expect`, then a halt), "exception" (a complete boot, then the firmware's
exception report holding the texts `expect`), "refused" (Secure Boot refuses
the image before it runs).
"""

import dataclasses
import io
import re
import tarfile

import judge
from judge import KERNEL_PATH, RAMDISK_PATH, line, reads
from machine import Machine, package_file, run_tool

KERNEL_FILE, RAMDISK_FILE = "boot/mavotix.elf", "boot/initrd.ustar"
BOOT_PATH, CHAINED_PATH = "EFI/BOOT/BOOTX64.EFI", "EFI/quillmor/quillmor.efi"
LINK_BASE = 0xFFFFFFFF80000000


def sample_ramdisk():
    """A real ustar archive of 30720 bytes: 7.5 pages, its end inside a page."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in (("etc/motd", "quillmor 端到端测试的初始内存盘\n".encode()),
                           ("data/pattern.bin", bytes((i * 7) & 0xFF for i in range(16384)))):
            info = tarfile.TarInfo(name)
            info.size, info.mtime = len(data), 1_700_000_000
            tar.addfile(info, io.BytesIO(data))
    return buffer.getvalue()


def odd_ramdisk():
    """Opaque bytes of an odd length: the loader never looks inside."""
    return bytes((i * 31 + 17) & 0xFF for i in range(70001))


def elf(segments, entry, e_type=2, machine=62, ei_class=2):
    """An ELF64 file: the header, 64-byte program-header slots (the loader must
    honour the stride; 0xa5 filler past each 56-byte entry), then the bytes.
    A segment is (type, vaddr, memsz, data)."""
    data_start = 64 + 64 * len(segments)
    table, body = b"", b""
    for p_type, vaddr, memsz, data in segments:
        table += (p_type.to_bytes(4, "little") + (7).to_bytes(4, "little")
                  + b"".join(v.to_bytes(8, "little") for v in (
                      data_start + len(body), vaddr, vaddr, len(data), memsz, 4096))
                  + b"\xa5" * 8)
        body += data + bytes(-len(data) % 16)
    header = (b"\x7fELF" + bytes([ei_class, 1, 1]) + bytes(9)
              + b"".join(v.to_bytes(2, "little") for v in (e_type, machine))
              + (1).to_bytes(4, "little") + entry.to_bytes(8, "little") + (64).to_bytes(8, "little")
              + bytes(12) + b"".join(v.to_bytes(2, "little") for v in (64, 64, len(segments), 0, 0, 0)))
    return header + table + body


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


def ud2_kernel():
    """A kernel whose first instruction is ud2."""
    return elf([(1, LINK_BASE, 4096, b"\x0f\x0b")], LINK_BASE)


def pages(count):
    return [(1, LINK_BASE + i * 4096, 4096, EXIT_CODE) for i in range(count)]


REJECTED = {  # a format rule and a mapping rule: the name logged, the file that earns it
    "NotElf64": elf(pages(2), LINK_BASE, ei_class=1, e_type=3, machine=183),
    "BadHeader": elf(pages(2), LINK_BASE + 2 * 4096),  # the entry just past the image
}


# The command lines the boot managers pass as load options, and the file's:
# each must reach the kernel byte for byte (the test kernel shows it in hex).
GRUB_ARGUMENTS = "console=ttyS0 grub=chainloader quiet"
SYSTEMD_BOOT_OPTIONS = "root=/dev/quill 名字=值 quiet"
COMMAND_LINE_FILE = "from=cmdline.txt 文件 \U0001F600\n".encode()
CMDLINE_FILE = "boot/cmdline.txt"


def grub_manager(run_dir):
    config, image = run_dir / "grub.cfg", run_dir / "grubx64.efi"
    config.write_text(f"search --no-floppy --file --set=root /{CHAINED_PATH}\n"
                      f"chainloader /{CHAINED_PATH} {GRUB_ARGUMENTS}\nboot\n")
    run_tool(["grub-mkstandalone", "-O", "x86_64-efi", "--locales=", "--fonts=", "--themes=",
              "--modules=fat part_msdos search_fs_file chain",
              "--install-modules=fat part_msdos search search_fs_file chain normal configfile",
              "-o", image, f"boot/grub/grub.cfg={config}"], "grub-efi-amd64-bin")
    return {BOOT_PATH: image.read_bytes()}


def systemd_boot_manager(run_dir):
    manager = package_file("systemd-boot-efi", "/systemd-bootx64.efi",
                           "/usr/lib/systemd/boot/efi/systemd-bootx64.efi")
    return {BOOT_PATH: manager.read_bytes(), "loader/loader.conf": b"timeout 0\n",
            "loader/entries/quillmor.conf":
                f"title quillmor\nefi /{CHAINED_PATH}\noptions {SYSTEMD_BOOT_OPTIONS}\n".encode()}


def signed_loader(run_dir, loader):
    """The loader signed with the key whose certificate Debian's Secure Boot
    OVMF has enrolled (decrypted first: sbsign takes no passphrase)."""
    key, signed = run_dir / "key.pem", run_dir / "signed.efi"
    snakeoil = [package_file("ovmf", f"/PkKek-1-snakeoil.{kind}",
                             f"/usr/share/ovmf/PkKek-1-snakeoil.{kind}") for kind in ("key", "pem")]
    run_tool(["openssl", "pkey", "-passin", "pass:snakeoil", "-in", snakeoil[0], "-out", key],
             "openssl")
    run_tool(["sbsign", "--key", key, "--cert", snakeoil[1], "--output", signed, loader],
             "sbsigntool")
    return {BOOT_PATH: signed.read_bytes()}


def sealed_loader(run_dir, loader, files, change=None):
    """BOOTX64.EFI as the loader sealed with the volume's kernel and ramdisk
    by quillmor-seal (built beside it); then, with `change`, that file's last
    byte flipped."""
    sealed, files = run_dir / "sealed.efi", dict(files)
    for name in (KERNEL_FILE, RAMDISK_FILE, CMDLINE_FILE):
        if files.get(name) is not None:
            (run_dir / name.split("/")[-1]).write_bytes(files[name])
    cmdline = ["--cmdline", run_dir / "cmdline.txt"] if files.get(CMDLINE_FILE) else []
    run_tool([loader.parent / "quillmor-seal", loader, "--kernel", run_dir / "mavotix.elf",
              "--initrd", run_dir / "initrd.ustar", *cmdline, "-o", sealed], "make")
    if change:
        files[change] = files[change][:-1] + bytes([files[change][-1] ^ 1])
    return {**files, BOOT_PATH: sealed.read_bytes()}


@dataclasses.dataclass
class Scenario:
    name: str
    machine: Machine
    kernel: object = "test"     # "test", "example", the file's bytes, or None: no file
    ramdisk: object = "sample"  # bytes, "sample" (the archive), or None: no file
    manager: str = None         # "grub", "systemd-boot", or "disk-image"
    signed: bool = False        # the loader as BOOTX64.EFI, signed for Secure Boot
    sealed: bool = False        # the loader sealed with the volume's files (quillmor-seal)
    change: str = None          # the file whose last byte changes after sealing
    ending: str = "kernel"
    expect: object = None       # "stop": (kernel, ramdisk) -> the whole log; "late-stop": message
    framebuffers: int = 1
    preamble: bytes = None     # what the firmware or manager writes before the banner
    leaf: str = None            # the CPUID leaf the processor's identity must come from
    stack_region: str = "1"     # the region type the kernel's stack lies in (OVMF's: boot data)
    cmdline_file: bytes = None  # \boot\cmdline.txt on the volume
    cmdline: bytes = b""        # the command line the kernel must find (None: U-Boot's own)
    flags: str = "0"            # the extension block's flags (Secure Boot 1, sealed 2)
    deadline: float = 120.0
    labels: tuple = ("e2e",)


def stop_after_reads(text):
    return lambda kernel, ramdisk: reads(kernel, ramdisk) + line(text)


OVMF = Machine(memory="256M")
U_BOOT = Machine(machine="pc", memory="512M", firmware="u-boot", partitioned=True)
SECURE = Machine(firmware="ovmf-secure")

TABLE = [
    Scenario("boot-q35-256M", OVMF),
    Scenario("boot-q35-4G", Machine(memory="4G"), deadline=180.0),
    Scenario("boot-pc-512M-smp2", Machine(machine="pc", memory="512M", smp=2)),
    Scenario("boot-no-vga", Machine(memory="1G", vga="none"), framebuffers=0),
    Scenario("boot-virtio-gpu", Machine(memory="1G", vga="none", devices=("virtio-gpu-pci",)),
             framebuffers=0),
    Scenario("boot-cpu-conroe", Machine(memory="1G", cpu="Conroe"), leaf="0x1"),
    Scenario("boot-cpu-max", Machine(memory="1G", cpu="max"), leaf="0xb"),
    Scenario("boot-u-boot", U_BOOT, framebuffers=0, preamble=b"U-Boot ", stack_region="0",
             cmdline=None),
    Scenario("boot-grub-chainload", Machine(partitioned=True), manager="grub",
             preamble=b"Welcome to GRUB!", cmdline=GRUB_ARGUMENTS.encode()),
    Scenario("boot-systemd-boot", OVMF, manager="systemd-boot",
             cmdline=SYSTEMD_BOOT_OPTIONS.encode()),
    Scenario("boot-cmdline-file", Machine(memory="1G"), cmdline_file=COMMAND_LINE_FILE,
             cmdline=COMMAND_LINE_FILE),
    Scenario("boot-secure-sealed-cmdline", SECURE, sealed=True, signed=True,
             cmdline_file=COMMAND_LINE_FILE, cmdline=COMMAND_LINE_FILE, flags="3"),
    # Sealed boot: a sealed loader runs only the files it was sealed with, and
    # under Secure Boot only a sealed one runs; its log is an unsealed one's.
    Scenario("boot-secure-sealed-signed", SECURE, sealed=True, signed=True,
             preamble=b"BdsDxe: starting Boot0001", flags="3"),
    Scenario("secure-sealed-kernel-changed", SECURE, sealed=True, signed=True,
             change=KERNEL_FILE, ending="stop", expect=lambda k, r: (
                 judge.BANNER + line("引导卷已打开") + line(f"读入 {KERNEL_PATH} {len(k)} 字节")
                 + line("装载失败：内核散列不符"))),
    Scenario("secure-sealed-ramdisk-changed", SECURE, sealed=True, signed=True,
             change=RAMDISK_FILE, ending="stop", expect=stop_after_reads("装载失败：内存盘散列不符")),
    Scenario("sealed-kernel-changed", OVMF, sealed=True, change=KERNEL_FILE, ending="stop",
             expect=lambda k, r: (judge.BANNER + line("引导卷已打开")
                                  + line(f"读入 {KERNEL_PATH} {len(k)} 字节")
                                  + line("装载失败：内核散列不符"))),
    Scenario("secure-signed-unsealed", SECURE, signed=True, ending="stop",
             expect=lambda k, r: judge.BANNER + line("引导卷已打开") + line("装载失败：安全启动要求封存散列")),
    Scenario("boot-sealed", OVMF, sealed=True, flags="2"),
    Scenario("boot-u-boot-sealed", U_BOOT, sealed=True, framebuffers=0, preamble=b"U-Boot ",
             stack_region="0", flags="2"),
    Scenario("secure-unsigned-refused", SECURE, ending="refused"),
    Scenario("crafted-kernel-placement", OVMF, kernel=crafted_kernel(), ramdisk=odd_ramdisk(),
             ending="crafted"),
    Scenario("missing-kernel", OVMF, kernel=None, ending="stop",
             expect=lambda k, r: judge.BANNER + line("引导卷已打开") + line(f"打不开：{KERNEL_PATH}")),
    Scenario("missing-ramdisk", OVMF, kernel=crafted_kernel(), ramdisk=None, ending="stop",
             expect=lambda k, r: (judge.BANNER + line("引导卷已打开")
                                  + line(f"读入 {KERNEL_PATH} {len(k)} 字节")
                                  + line(f"打不开：{RAMDISK_PATH}"))),
    Scenario("empty-ramdisk", OVMF, kernel=b"this is not a kernel image\n" * 4, ramdisk=b"",
             ending="stop", expect=lambda k, r: (judge.BANNER + line("引导卷已打开")
                                                 + line(f"读入 {KERNEL_PATH} {len(k)} 字节")
                                                 + line("装载失败：文件为空"))),
    Scenario("kernel-over-direct-map", OVMF, kernel=crafted_kernel(judge.DIRECT_MAP_OFFSET + 0x100000),
             ending="late-stop", expect="内核链接地址与直接映射重叠"),
    # Before a kernel has an IDT of its own, the firmware's handler reports
    # an exception (OVMF's reads the local APIC first) instead of faulting
    # again in silence.
    Scenario("kernel-ud2-firmware-report", OVMF, kernel=ud2_kernel(), ending="exception",
             expect=(b"!!!! X64 Exception Type - 06(#UD - Invalid Opcode)",
                     b"RIP  - FFFFFFFF80000000"), deadline=60.0),
    *[Scenario(f"kernel-{name}", OVMF, kernel=data, ending="stop",
               expect=stop_after_reads(f"内核映像不合规：{name}"))
      for name, data in REJECTED.items()],
    Scenario("example-disk-image", Machine(memory="512M"), kernel="example", manager="disk-image",
             ending="example"),
    Scenario("example-picture", Machine(memory="512M", debug_exit=False), kernel="example",
             ending="picture"),
    # With the command line "poweroff" the example calls ResetSystem through the
    # system table the extension block names, on the loader's tables.
    Scenario("example-runtime-poweroff", Machine(memory="512M"), kernel="example",
             cmdline_file=b"poweroff", ending="poweroff"),
    Scenario("boot-q35-16G", Machine(memory="16G"), deadline=300.0, labels=("e2e", "scale")),
    Scenario("boot-q35-64G", Machine(memory="64G"), deadline=400.0, labels=("e2e", "scale")),
    Scenario("boot-q35-1T", Machine(memory="1T"), deadline=600.0, labels=("e2e", "scale")),
]
SCENARIOS = {item.name: item for item in TABLE}

SECURE_BOOT_REFUSAL = re.compile(
    rb'BdsDxe: failed to load Boot[0-9A-F]{4} "UEFI QEMU HARDDISK[^\r\n]*: Access Denied\r\n')


def returned_to_firmware(raw):
    """Nothing more will come: Secure Boot refused the image, the firmware
    took control back after the loader started (a check failure exits), or
    its exception handler has written its report (its line with RIP)."""
    start = raw.find(judge.BANNER)
    rip = raw.find(b"RIP  - ", max(start, 0))
    return SECURE_BOOT_REFUSAL.search(raw) is not None or (start >= 0 and any(
        raw.find(text, start) >= 0
        for text in (b"BdsDxe: failed to start", b"Shell> ", b"## Application failed"))) or (
        start >= 0 and rip >= 0 and raw.find(b"\n", rip) >= 0)
