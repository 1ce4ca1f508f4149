"""The end-to-end scenarios as one table: the firmware and QEMU's options, what
goes on the boot volume, and the ending judge.py must find: "kernel" (the test
kernel's oracle passes; it reports `extension`), "picture" (the example's
summary and drawing), "stop" (`expect`: the first n lines of a boot, a fatal
line, a halt), "refused" (Secure Boot refuses the image before it runs).
"""

import dataclasses
from pathlib import Path

from judge import CMDLINE_FILE, KERNEL_FILE, RAMDISK_FILE
from machine import memory_options, package_file, run_tool

BOOT_PATH, CHAINED_PATH = "EFI/BOOT/BOOTX64.EFI", "EFI/quillmor/quillmor.efi"

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
              "-o", image, f"boot/grub/grub.cfg={config}"])
    return {BOOT_PATH: image.read_bytes()}


def systemd_boot_manager(run_dir):
    manager = Path(package_file("systemd-boot-efi", "/systemd-bootx64.efi"))
    return {BOOT_PATH: manager.read_bytes(), "loader/loader.conf": b"timeout 0\n",
            "loader/entries/quillmor.conf":
                f"title quillmor\nefi /{CHAINED_PATH}\noptions {SYSTEMD_BOOT_OPTIONS}\n".encode()}


def sign(run_dir, image):
    """`image` signed with the key whose certificate Debian's Secure Boot OVMF
    has enrolled (decrypted first: sbsign takes no passphrase)."""
    key, unsigned, signed = (run_dir / name for name in ("key.pem", "unsigned.efi", "signed.efi"))
    unsigned.write_bytes(image)
    run_tool(["openssl", "pkey", "-passin", "pass:snakeoil", "-out", key,
              "-in", package_file("ovmf", "/PkKek-1-snakeoil.key")])
    run_tool(["sbsign", "--key", key, "--cert", package_file("ovmf", "/PkKek-1-snakeoil.pem"),
              "--output", signed, unsigned])
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
    run_tool([loader.parent / "quillmor-seal", loader, *arguments, "-o", sealed])
    return sealed.read_bytes()


@dataclasses.dataclass
class Scenario:
    name: str
    firmware: str = "ovmf"  # "ovmf", "ovmf-secure" or "u-boot"
    qemu: str = "-M q35 -m 256M"
    kernel: object = "test"  # "test", "example" or the file's bytes
    ramdisk: object = "sample"  # bytes, or "sample": the build's archive, 2.5 pages
    manager: str = None  # "grub", "systemd-boot", or "disk-image" (the build's own disk)
    sealed: bool = False  # the loader sealed with the volume's files, and signed under Secure Boot
    change: str = None  # the file whose last byte changes after sealing
    ending: str = "kernel"
    expect: object = None
    extension: str = "flags=0 cmdline="  # as the test kernel reports the extension block
    framebuffers: int = 1
    cmdline_file: bytes = None  # \boot\cmdline.txt on the volume
    deadline: float = 120.0
    labels: tuple = ("e2e",)


TABLE = [
    # Processor models apart from QEMU's own: one without CPUID leaf 0x0B, and
    # one with 1 GiB pages; a display with no framebuffer (virtio-gpu's mode
    # can only be drawn on through Blt).
    Scenario("boot-conroe-256M-smp2", qemu="-M q35 -m 256M -smp 2 -cpu Conroe"),
    Scenario("boot-cpu-max-virtio-gpu", framebuffers=0,
             qemu="-M q35 -m 1G -cpu max -vga none -device virtio-gpu-pci"),
    # U-Boot passes load options of its own.
    Scenario("boot-u-boot", firmware="u-boot", qemu="-M pc -m 512M", framebuffers=0,
             extension="flags=0 cmdline=[0-9a-f]*"),
    # A kernel the loader refuses stops the boot on U-Boot too.
    Scenario("u-boot-not-elf-stop", firmware="u-boot", qemu="-M pc -m 512M",
             kernel=b"not an ELF file " * 8, ending="stop", expect=(3, "内核映像不合规：NotElf64")),
    Scenario("boot-grub-chainload", manager="grub",
             extension="flags=0 cmdline=" + GRUB_ARGUMENTS.encode().hex()),
    Scenario("boot-systemd-boot", manager="systemd-boot",
             extension="flags=0 cmdline=" + SYSTEMD_BOOT_OPTIONS.encode().hex()),
    # Under Secure Boot only a sealed, signed loader runs, and only the files
    # it was sealed with; its log is an unsealed one's.
    Scenario("boot-secure-sealed-cmdline", firmware="ovmf-secure", sealed=True,
             cmdline_file=COMMAND_LINE_FILE,
             extension="flags=3 cmdline=" + COMMAND_LINE_FILE.hex()),
    Scenario("secure-sealed-kernel-changed", firmware="ovmf-secure", sealed=True,
             change=KERNEL_FILE, ending="stop", expect=(2, "装载失败：内核散列不符")),
    Scenario("secure-unsigned-refused", firmware="ovmf-secure", ending="refused"),
    Scenario("example-picture-disk-image", qemu="-M q35 -m 512M", kernel="example",
             manager="disk-image", ending="picture"),
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
    if item.sealed and item.firmware == "ovmf-secure":
        files[BOOT_PATH] = sign(run_dir, files[BOOT_PATH])
    return files
