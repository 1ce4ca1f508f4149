"""QEMU mechanics of the end-to-end bench: the boot disk, the firmware, and one
boot with the serial port captured byte for byte.

A run ends when QEMU exits, when the boot processor sits halted with
interrupts disabled and the serial port has gone quiet (the loader's stops end
in cli; hlt), a second after the firmware has visibly taken control back, or
at a deadline. Everything a run leaves behind stays in its own directory.
"""

import collections
import ctypes
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

QEMU = "qemu-system-x86_64"
# isa-debug-exit ends QEMU with the status (value << 1) | 1.
EXIT_PASS, EXIT_CHECK_FAILED = (0x10 << 1) | 1, (0x11 << 1) | 1
SECURE_BOOT_REFUSAL = re.compile(
    rb'BdsDxe: failed to load Boot[0-9A-F]{4} "UEFI QEMU HARDDISK[^\r\n]*: Access Denied\r\n')


class BenchError(Exception):
    """The bench itself cannot do its job (missing tool, file or firmware)."""


def need(path, package):
    if not Path(path).is_file():
        raise BenchError(f"{path} not found (install {package})")
    return Path(path)


def run_tool(args, package="mtools"):
    args = [str(arg) for arg in args]
    try:
        result = subprocess.run(args, capture_output=True, text=True, check=False)
    except FileNotFoundError as error:
        raise BenchError(f"{args[0]} not found (install {package})") from error
    if result.returncode != 0:
        raise BenchError(f"{shlex.join(args)} failed: {result.stderr.strip()}")


def parse_size(text):
    """'256M', '16G', '1T' -> bytes."""
    return int(text[:-1]) << {"M": 20, "G": 30, "T": 40}[text[-1].upper()]


def memory_options(memory):
    """QEMU options for a machine with `memory`. Big guests get RAM that is
    only backed once touched, and enough physical address bits for memory
    pushed above the PCI hole."""
    if parse_size(memory) <= 4 << 30:
        return f"-M q35 -m {memory}"
    return (f"-M q35,memory-backend=m0 -object memory-backend-ram,id=m0,size={memory},"
            f"reserve=off -m {memory} -cpu max,phys-bits=44")


def firmware_options(firmware, run_dir):
    """OVMF as two flash devices with a fresh copy of its variable store
    ("ovmf-secure": the build with Debian's test keys enrolled), or U-Boot as
    the BIOS ROM."""
    if firmware == "u-boot":
        return ["-bios", need("/usr/lib/u-boot/qemu-x86_64/u-boot.rom", "u-boot-qemu")]
    variant = ".snakeoil" if firmware == "ovmf-secure" else ""
    code, variables = (need(f"/usr/share/OVMF/OVMF_{part}_4M{variant}.fd", "ovmf")
                       for part in ("CODE", "VARS"))
    shutil.copyfile(variables, run_dir / "vars.fd")
    options = ["-drive", f"if=pflash,format=raw,readonly=on,file={code}",
               "-drive", f"if=pflash,format=raw,file={run_dir / 'vars.fd'}"]
    if variant:
        # The variable store is writable only from SMM, so the guest cannot
        # simply switch Secure Boot off.
        options += ["-M", "smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"]
    return options


def make_disk(image, files):
    """A GPT disk whose one partition, an EFI system partition from 1 MiB on,
    holds `files` (volume path -> bytes; None leaves the file out)."""
    tree = image.parent / "volume"
    for path, data in files.items():
        if data is not None:
            (tree / path).parent.mkdir(parents=True, exist_ok=True)
            (tree / path).write_bytes(data)
    mib = sum(len(data or b"") for data in files.values()) * 2 // (1 << 20) + 16
    with open(image, "wb") as out:
        out.truncate((mib + 2) << 20)
    run_tool(["sgdisk", f"--new=1:1M:+{mib}M", "--typecode=1:ef00", image], "gdisk")
    fat = f"{image}@@{1 << 20}"
    run_tool(["mformat", "-i", fat, "-h", "64", "-s", "32", "-H", "2048", "-T", mib * 2048,
              "-v", "QUILLMOR", "::"])
    run_tool(["mcopy", "-s", "-i", fat, *tree.iterdir(), "::/"])
    return image


class Qmp:
    """Just enough of QMP to read the boot processor's state and to take a
    screenshot."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(10)
        self.sock.connect(str(path))
        self.stream = self.sock.makefile("rwb")
        self.stream.readline()  # the greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        request = {"execute": command, "arguments": arguments}
        self.stream.write(json.dumps(request).encode() + b"\n")
        self.stream.flush()
        reply = {"event": None}
        while "event" in reply:
            reply = json.loads(self.stream.readline())
        if "error" in reply:
            raise RuntimeError(f"QMP {command}: {reply['error']}")
        return reply["return"]

    def halted_interrupts_off(self):
        text = self.execute("human-monitor-command", **{"command-line": "info registers"})
        flags, halted = re.search(r"\b[RE]FL=([0-9a-f]+).*\bHLT=(\d)", text, re.S).groups()
        return halted == "1" and not int(flags, 16) & (1 << 9)


# chunks: [(seconds since QEMU started, serial bytes)]; exit_status: None when
# the bench stopped QEMU; halted: the loader halted (cli; hlt) and went quiet.
RunResult = collections.namedtuple(
    "RunResult", "raw chunks exit_status halted ending duration run_dir")


def _die_with_parent():
    # QEMU must not outlive the bench when the bench is killed (a CTest timeout).
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def returned_to_firmware(raw):
    """Nothing more will come: Secure Boot refused the image, the firmware
    took control back after the loader started (a check failure exits), or its
    exception handler has written its report (its line with RIP)."""
    start = raw.find(b"[quillmor] ")
    after = raw[start:] if start >= 0 else b""
    return bool(SECURE_BOOT_REFUSAL.search(raw) or re.search(
        rb"BdsDxe: failed to start|Shell> |## Application failed|RIP  - [^\n]*\n", after))


def boot(firmware, options, disk, run_dir, deadline=120.0, debug_exit=True, on_output=None,
         on_stop=None):
    """Boots `disk` (its writes discarded) on a machine of the QEMU `options`.
    `on_output` gets each chunk of serial bytes as it arrives; `on_stop` gets
    the QMP connection and the serial bytes before the bench stops a QEMU that
    still runs."""
    if shutil.which(QEMU) is None:
        raise BenchError(f"{QEMU} not found (install qemu-system-x86)")
    qmp_path = run_dir / "qmp.sock"
    command = [QEMU, "-accel", "tcg", "-nodefaults", "-display", "none", "-no-reboot",
               "-vga", "std", *shlex.split(options), *firmware_options(firmware, run_dir),
               "-drive", f"if=ide,format=raw,snapshot=on,file={disk}", "-serial", "stdio",
               "-qmp", f"unix:{qmp_path},server=on,wait=off"]
    if debug_exit:
        command += ["-device", "isa-debug-exit,iobase=0xf4,iosize=4"]
    (run_dir / "command.txt").write_text(shlex.join(map(str, command)) + "\n")
    chunks, started = [], time.monotonic()
    with open(run_dir / "qemu-stderr.txt", "wb") as stderr:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=stderr, preexec_fn=_die_with_parent)

    def pump():
        while data := os.read(process.stdout.fileno(), 65536):
            chunks.append((time.monotonic() - started, data))
            if on_output is not None:
                on_output(data)

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    qmp, ending, halted, quiet = None, None, False, (None, 0)
    try:
        while process.poll() is None and ending is None:
            time.sleep(0.25)
            now, raw = time.monotonic(), b"".join(data for _, data in chunks)
            if now - started > deadline:
                ending = "deadline reached"
            elif returned_to_firmware(raw):
                time.sleep(1)
                ending = "stopped once the firmware had taken control back"
            elif qmp is None and qmp_path.exists():
                try:
                    qmp = Qmp(qmp_path)
                except ConnectionRefusedError:  # bound, not yet listening
                    pass
            elif qmp is not None and process.poll() is None:
                # The same byte count for a second, halted with interrupts off.
                if not qmp.halted_interrupts_off():
                    quiet = (None, 0)
                elif quiet[0] != len(raw):
                    quiet = (len(raw), now)
                elif now - quiet[1] >= 1.0:
                    halted, ending = True, "halted with interrupts disabled"
        if process.poll() is None and qmp is not None and on_stop is not None:
            on_stop(qmp, b"".join(data for _, data in chunks))
    except (OSError, RuntimeError, ValueError):
        process.wait(timeout=5)  # QMP went away with QEMU; if QEMU still runs, this raises
    finally:
        exit_status = process.poll()
        if exit_status is None:
            process.terminate()
            process.wait()
        reader.join(timeout=5)
    raw = b"".join(data for _, data in chunks)
    (run_dir / "serial.bin").write_bytes(raw)
    if ending is None:
        ending = f"QEMU exited with status {exit_status}"
        complaint = (run_dir / "qemu-stderr.txt").read_text(errors="replace").strip()
        if exit_status not in (EXIT_PASS, EXIT_CHECK_FAILED) and complaint:
            ending += f" ({complaint.splitlines()[-1]})"
    return RunResult(raw, chunks, exit_status, halted, ending, time.monotonic() - started,
                     run_dir)
