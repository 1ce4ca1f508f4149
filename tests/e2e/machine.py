"""QEMU mechanics of the end-to-end bench: boot volumes, machine options, and
one boot of the firmware (OVMF or U-Boot) with the serial port captured byte
for byte.

A run ends when QEMU exits, when the boot processor sits halted with
interrupts disabled and the serial port has gone quiet (the loader's stops
end in cli; hlt), or at a deadline. Everything a run leaves behind (volume
image, variable store, raw serial bytes, QEMU's stderr, the command line)
stays in its own temporary directory, so runs can go in parallel.
"""

import ctypes
import dataclasses
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

QEMU = "qemu-system-x86_64"
OVMF_FALLBACK_DIR = Path("/usr/share/OVMF")

# The test kernel leaves QEMU through isa-debug-exit, whose exit status is
# (value << 1) | 1.
DEBUG_EXIT_PORT = 0xF4
EXIT_PASS = (0x10 << 1) | 1  # 33
EXIT_CHECK_FAILED = (0x11 << 1) | 1  # 35

EFLAGS_IF = 1 << 9


class BenchError(Exception):
    """The bench itself cannot do its job (missing tool, file or firmware)."""


# --------------------------------------------------------------------------
# Sizes

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_size(text):
    """'256M', '16G', '1T' or a plain byte count -> bytes."""
    match = re.fullmatch(r"(\d+)\s*([KMGT]?)(?:i?B)?", text.strip(), re.IGNORECASE)
    if not match:
        raise ValueError(f"not a memory size: {text!r}")
    return int(match.group(1)) * _SIZE_UNITS[match.group(2).upper()]


# --------------------------------------------------------------------------
# Firmware

def package_file(package, suffix, fallback):
    """The file of a Debian package whose path ends in `suffix`, from the
    package's file list, else `fallback`."""
    try:
        listing = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True,
                                 check=False).stdout.split()
    except OSError:
        listing = []
    found = next((Path(path) for path in listing if path.endswith(suffix)), Path(fallback))
    if not found.is_file():
        raise BenchError(f"file not found: {found} (install the {package} package)")
    return found


def find_ovmf(variant=""):
    """(code, vars) paths of the 4 MiB OVMF build; `variant` ".snakeoil" is
    the Secure Boot build whose variable store has Debian's test keys
    enrolled."""
    return tuple(package_file("ovmf", f"/OVMF_{part}_4M{variant}.fd",
                               OVMF_FALLBACK_DIR / f"OVMF_{part}_4M{variant}.fd")
                 for part in ("CODE", "VARS"))


def find_u_boot():
    return package_file("u-boot-qemu", "/qemu-x86_64/u-boot.rom",
                         "/usr/lib/u-boot/qemu-x86_64/u-boot.rom")


def firmware_args(firmware, run_dir):
    """QEMU options that put `firmware` in the machine: OVMF as two flash
    devices with a fresh copy of its variable store, U-Boot as the BIOS ROM."""
    if firmware == "u-boot":
        return ["-bios", str(find_u_boot())]
    code, vars_template = find_ovmf(".snakeoil" if firmware == "ovmf-secure" else "")
    variables = run_dir / "OVMF_VARS.fd"
    shutil.copyfile(vars_template, variables)
    args = ["-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={variables}"]
    if firmware == "ovmf-secure":
        # The variable store is writable only from SMM, so the guest cannot
        # simply switch Secure Boot off.
        args += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
    return args


# --------------------------------------------------------------------------
# Boot volume

def run_tool(args, package="mtools"):
    args = [str(arg) for arg in args]
    try:
        result = subprocess.run(args, capture_output=True, text=True, check=False)
    except FileNotFoundError as error:
        raise BenchError(f"{args[0]} not found (install {package})") from error
    if result.returncode != 0:
        raise BenchError(f"{shlex.join(args)} failed: {result.stderr.strip()}")


# Where the partition of a partitioned volume starts: 1 MiB, as partitioning
# tools align it.
PARTITION_OFFSET = 1 << 20
MBR_TYPE_EFI_SYSTEM = 0xEF


def _write_mbr(image, sectors):
    """A DOS partition table whose one entry, of type EFI system partition,
    spans `sectors` from PARTITION_OFFSET. CHS fields hold the 'use LBA'
    marker 0xfe 0xff 0xff that firmware ignores."""
    entry = (bytes([0x00, 0xFE, 0xFF, 0xFF, MBR_TYPE_EFI_SYSTEM, 0xFE, 0xFF, 0xFF])
             + (PARTITION_OFFSET // 512).to_bytes(4, "little") + sectors.to_bytes(4, "little"))
    with open(image, "r+b") as out:
        out.seek(446)
        out.write(entry + bytes(48) + b"\x55\xaa")


def make_volume(image, loader, files, partitioned=False):
    """Writes a FAT volume holding EFI/BOOT/BOOTX64.EFI and `files`, a
    mapping of volume paths such as 'boot/mavotix.elf' to bytes (a path
    mapped to None is left out; one of them may replace BOOTX64.EFI). Without
    `partitioned` the disk is the bare FAT volume, a 'superfloppy' that OVMF
    boots as removable media; with it the volume is the one partition of an
    MBR-partitioned disk, as firmware that only looks inside partitions
    (U-Boot) needs."""
    loader = Path(loader)
    if not loader.is_file():
        raise BenchError(f"loader image not found: {loader}")
    contents = {"EFI/BOOT/BOOTX64.EFI": loader.read_bytes()}
    contents.update({path: data for path, data in files.items() if data is not None})

    payload = sum(len(data) for data in contents.values())
    size_mib = max(16, (payload * 2 >> 20) + 8)
    offset = PARTITION_OFFSET if partitioned else 0
    with open(image, "wb") as out:
        out.truncate(offset + (size_mib << 20))
    target = f"{image}@@{offset}" if partitioned else str(image)
    if partitioned:
        _write_mbr(image, size_mib * 2048)
    # 32 sectors per track, 64 heads: a geometry mformat accepts for any size.
    # The boot sector counts the sectors that precede the volume.
    run_tool(["mformat", "-i", target, "-h", "64", "-s", "32", "-H", str(offset // 512),
               "-T", str(size_mib * 2048), "-v", "QUILLMOR", "::"])

    directories = sorted({str(Path(path).parent) for path in contents} - {"."},
                         key=lambda d: d.count("/"))
    made = set()
    for directory in directories:
        parts = Path(directory).parts
        for depth in range(1, len(parts) + 1):
            sub = "/".join(parts[:depth])
            if sub not in made:
                run_tool(["mmd", "-i", target, f"::/{sub}"])
                made.add(sub)
    staging = Path(image).parent / "volume-files"
    staging.mkdir(exist_ok=True)
    for index, (path, data) in enumerate(sorted(contents.items())):
        local = staging / f"{index}-{Path(path).name}"
        local.write_bytes(data)
        run_tool(["mcopy", "-i", target, str(local), f"::/{path}"])


# --------------------------------------------------------------------------
# Machine

FIRMWARES = ("ovmf", "ovmf-secure", "u-boot")


@dataclasses.dataclass
class Machine:
    """What QEMU emulates; everything else about a run is fixed."""
    machine: str = "q35"
    memory: str = "256M"
    smp: int = 1
    vga: str = "std"
    devices: tuple = ()
    debug_exit: bool = True  # the isa-debug-exit device kernels leave QEMU through
    cpu: str = None            # QEMU's processor model; None keeps QEMU's default
    firmware: str = "ovmf"     # one of FIRMWARES
    partitioned: bool = False  # the volume as the one partition of an MBR disk

    def __post_init__(self):
        if self.firmware not in FIRMWARES:
            raise ValueError(f"unknown firmware {self.firmware!r}")

    def describe(self):
        text = f"{self.firmware} {self.machine} {self.memory}"
        if self.cpu:
            text += f" cpu={self.cpu}"
        if self.smp != 1:
            text += f" smp={self.smp}"
        if self.vga != "std":
            text += f" vga={self.vga}"
        if self.partitioned:
            text += " mbr"
        for device in self.devices:
            text += f" +{device}"
        if not self.debug_exit:
            text += " -isa-debug-exit"
        return text

    def qemu_args(self):
        size = parse_size(self.memory)
        # Secure Boot's variable store lives in SMM-only flash.
        kind = self.machine + (",smm=on" if self.firmware == "ovmf-secure" else "")
        if size > 4 << 30:
            # Big guests: RAM that is only backed once touched, and enough
            # physical address bits for memory pushed above the PCI hole.
            megabytes = f"{size >> 20}M"
            args = ["-machine", f"{kind},memory-backend=m0",
                    "-object", f"memory-backend-ram,id=m0,size={megabytes},reserve=off",
                    "-m", megabytes, "-cpu", self.cpu or "max,phys-bits=44"]
        else:
            args = ["-machine", kind, "-m", f"{size >> 20}M"]
            if self.cpu:
                args += ["-cpu", self.cpu]
        args += ["-smp", str(self.smp), "-vga", self.vga]
        for device in self.devices:
            args += ["-device", device]
        return args


# --------------------------------------------------------------------------
# QMP

class Qmp:
    """Just enough of QMP to read the boot processor's registers and to quit."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(str(path))
        self.stream = self.sock.makefile("rwb")
        self._read()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        while True:
            line = self.stream.readline()
            if not line:
                raise ConnectionError("QMP connection closed")
            message = json.loads(line)
            if "event" not in message:
                return message

    def execute(self, command, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self.stream.write(json.dumps(request).encode() + b"\n")
        self.stream.flush()
        reply = self._read()
        if "error" in reply:
            raise RuntimeError(f"QMP {command}: {reply['error']}")
        return reply.get("return")

    def processor_state(self, cpu=0):
        """(halted, interrupts enabled) of one processor."""
        text = self.execute("human-monitor-command", **{"command-line": "info registers",
                                                        "cpu-index": cpu})
        halted = re.search(r"\bHLT=(\d)", text)
        flags = re.search(r"\b[RE]FL=([0-9a-fA-F]+)", text)
        if not halted or not flags:
            raise RuntimeError("unexpected 'info registers' output")
        return halted.group(1) == "1", bool(int(flags.group(1), 16) & EFLAGS_IF)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# --------------------------------------------------------------------------
# One boot

@dataclasses.dataclass
class RunResult:
    raw: bytes
    chunks: list            # [(seconds since QEMU started, bytes)], in arrival order
    exit_status: object     # QEMU's exit status, None when the bench stopped it
    halted: bool            # stopped because the loader halted (cli; hlt) and went quiet
    timed_out: bool
    stopped_early: bool     # `end_when` said nothing more would come
    duration: float
    run_dir: Path
    command: list
    stderr: str = ""        # what QEMU itself complained about

    def ending(self):
        if self.stopped_early:
            return "stopped once the firmware had taken control back"
        if self.halted:
            return "halted with interrupts disabled"
        if self.timed_out:
            return "deadline reached"
        text = f"QEMU exited with status {self.exit_status}"
        if self.exit_status not in (EXIT_PASS, EXIT_CHECK_FAILED) and self.stderr:
            text += f" ({self.stderr.strip().splitlines()[-1]})"
        return text


def _die_with_parent():
    # QEMU must not outlive the bench when the bench is killed (a CTest timeout).
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def boot(machine, volume_files, loader, deadline=120.0, run_dir=None, on_output=None,
         end_when=None, quiet_after_halt=1.0, name="boot", on_stop=None):
    """Boots `loader` from a fresh volume holding `volume_files` and returns
    the run's RunResult. `volume_files` may instead be the Path of a ready
    disk image, which is booted as it is (its writes are discarded).
    `on_output` is called with each chunk of serial bytes as it arrives.
    `end_when`, given the serial bytes so far, tells that nothing more of
    interest will come; the run then ends a second later. `on_stop` is called
    with the QMP connection, the serial bytes and the run directory when the
    bench is about to stop a QEMU that is still running (for a last look, such
    as a screendump)."""
    if shutil.which(QEMU) is None:
        raise BenchError(f"{QEMU} not found (install qemu-system-x86)")
    run_dir = Path(run_dir or tempfile.mkdtemp(prefix=f"quillmor-{name}-"))
    run_dir.mkdir(parents=True, exist_ok=True)

    if isinstance(volume_files, Path):
        if not volume_files.is_file():
            raise BenchError(f"disk image not found: {volume_files}")
        disk = f"file={volume_files},snapshot=on"
    else:
        volume = run_dir / "volume.img"
        make_volume(volume, loader, volume_files, partitioned=machine.partitioned)
        disk = f"file={volume}"
    qmp_path = run_dir / "qmp.sock"

    command = [QEMU, *machine.qemu_args(), "-accel", "tcg", "-nodefaults",
               "-display", "none", "-nic", "none", "-no-reboot",
               *firmware_args(machine.firmware, run_dir),
               "-drive", f"if=ide,format=raw,media=disk,{disk}",
               "-chardev", "stdio,id=serial0,signal=off", "-serial", "chardev:serial0",
               "-qmp", f"unix:{qmp_path},server=on,wait=off"]
    if machine.debug_exit:
        command += ["-device", f"isa-debug-exit,iobase={DEBUG_EXIT_PORT:#x},iosize=0x04"]
    (run_dir / "command.txt").write_text(shlex.join(command) + "\n")

    chunks = []
    serial_log = open(run_dir / "serial.bin", "wb")
    stderr_log = open(run_dir / "qemu-stderr.txt", "wb")
    started = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=stderr_log, preexec_fn=_die_with_parent)

    def pump():
        fd = process.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            chunks.append((time.monotonic() - started, data))
            serial_log.write(data)
            serial_log.flush()
            if on_output is not None:
                on_output(data)

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()

    qmp = None
    halted = timed_out = stopped_early = False
    halt_seen_at = None
    halt_seen_bytes = -1
    ending_at = None
    try:
        while process.poll() is None:
            now = time.monotonic()
            if now - started > deadline:
                timed_out = True
                break
            if end_when is not None:
                if ending_at is None and end_when(b"".join(data for _, data in chunks)):
                    ending_at = now + 1.0
                if ending_at is not None and now >= ending_at:
                    stopped_early = True
                    break
            if qmp is None and qmp_path.exists():
                try:
                    qmp = Qmp(qmp_path)
                except OSError:
                    qmp = None
            if qmp is not None:
                try:
                    is_halted, interrupts_on = qmp.processor_state(0)
                except (OSError, ConnectionError, RuntimeError, ValueError):
                    is_halted, interrupts_on = False, True  # QEMU is going away
                received = sum(len(data) for _, data in chunks)
                if is_halted and not interrupts_on:
                    if halt_seen_at is None or received != halt_seen_bytes:
                        halt_seen_at, halt_seen_bytes = now, received
                    elif now - halt_seen_at >= quiet_after_halt:
                        halted = True
                        break
                else:
                    halt_seen_at = None
            time.sleep(0.25)
        if process.poll() is None and qmp is not None and on_stop is not None:
            on_stop(qmp, b"".join(data for _, data in chunks), run_dir)
    finally:
        if process.poll() is None:
            if qmp is not None:
                try:
                    qmp.execute("quit")
                except (OSError, ConnectionError, RuntimeError, ValueError):
                    pass
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            exit_status = None
        else:
            exit_status = process.returncode
        if qmp is not None:
            qmp.close()
        reader.join(timeout=5)
        serial_log.close()
        stderr_log.close()

    return RunResult(raw=b"".join(data for _, data in chunks), chunks=chunks,
                     exit_status=exit_status, halted=halted, timed_out=timed_out,
                     stopped_early=stopped_early,
                     duration=time.monotonic() - started, run_dir=run_dir, command=command,
                     stderr=(run_dir / "qemu-stderr.txt").read_text(errors="replace"))
