"""QEMU mechanics of the end-to-end bench: the boot disk, the firmware, and one
boot with the serial port captured byte for byte, until QEMU exits, the boot
processor halts with interrupts disabled (as the loader's stops do), Secure
Boot refuses the image, or a deadline.
"""

import collections
import ctypes
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import threading
import time

# isa-debug-exit ends QEMU with the status (value << 1) | 1.
EXIT_PASS = (0x10 << 1) | 1
SECURE_BOOT_REFUSAL = re.compile(
    rb'BdsDxe: failed to load Boot[0-9A-F]{4} "UEFI QEMU HARDDISK[^\r\n]*: Access Denied\r\n')


def run_tool(args):
    """A host tool the bench needs; its failure is the run's."""
    subprocess.run([str(arg) for arg in args], capture_output=True, check=True)


def parse_size(text):
    """'256M', '16G', '1T' -> bytes."""
    return int(text[:-1]) << {"M": 20, "G": 30, "T": 40}[text[-1].upper()]


def memory_options(memory):
    """QEMU options for `memory`; above 4 GiB, RAM backed only once touched
    and address bits for the memory pushed above the PCI hole."""
    if parse_size(memory) <= 4 << 30:
        return f"-M q35 -m {memory}"
    return (f"-M q35,memory-backend=m0 -object memory-backend-ram,id=m0,size={memory},"
            f"reserve=off -m {memory} -cpu max,phys-bits=44")


def package_file(package, suffix):
    """The file of the Debian package `package` whose path ends in `suffix`."""
    listing = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
    found = [path for path in listing.splitlines() if path.endswith(suffix)]
    if not found:
        raise FileNotFoundError(f"no file ending in {suffix} in the package {package}")
    return found[0]


def firmware_options(firmware, run_dir):
    """OVMF with a fresh copy of its variable store ("ovmf-secure": Debian's
    test keys enrolled), or U-Boot as the BIOS ROM."""
    if firmware == "u-boot":
        return ["-bios", package_file("u-boot-qemu", "/qemu-x86_64/u-boot.rom")]
    variant = ".snakeoil" if firmware == "ovmf-secure" else ""
    code, variables = (package_file("ovmf", f"/OVMF_{part}_4M{variant}.fd")
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
    run_tool(["sgdisk", f"--new=1:1M:+{mib}M", "--typecode=1:ef00", image])
    fat = f"{image}@@{1 << 20}"
    run_tool(["mformat", "-i", fat, "-h", "64", "-s", "32", "-H", "2048", "-T", mib * 2048,
              "-v", "QUILLMOR", "::"])
    run_tool(["mcopy", "-s", "-i", fat, *tree.iterdir(), "::/"])
    return image


class Monitor:
    """QEMU's human monitor on its socket: one connection for the whole boot,
    made at the first question QEMU is listening for."""

    def __init__(self, path):
        self.path, self.connection = path, None

    def ask(self, command):
        """The reply to `command`, up to QEMU's next prompt; "" while QEMU is
        not listening yet."""
        prompts = 1
        if self.connection is None:
            connection = socket.socket(socket.AF_UNIX)
            connection.settimeout(10)
            try:
                connection.connect(str(self.path))
            except (FileNotFoundError, ConnectionRefusedError):
                connection.close()
                return ""
            self.connection, prompts = connection, 2  # the greeting ends in one too
        self.connection.sendall(command.encode() + b"\n")
        reply = b""
        while reply.count(b"(qemu) ") < prompts and (data := self.connection.recv(65536)):
            reply += data
        return reply.decode(errors="replace")

    def close(self):
        if self.connection is not None:
            self.connection.close()


def halted_interrupts_off(monitor):
    found = re.search(r"\b[RE]FL=([0-9a-f]+).*\bHLT=(\d)", monitor.ask("info registers"), re.S)
    return bool(found) and found[2] == "1" and not int(found[1], 16) & (1 << 9)


# chunks: [(seconds since QEMU started, serial bytes)]; exit_status: None when
# the bench stopped QEMU; halted: it halted with interrupts off.
RunResult = collections.namedtuple(
    "RunResult", "raw chunks exit_status halted ending duration run_dir")


def _die_with_parent():
    # QEMU must not outlive the bench when the bench is killed (a CTest timeout).
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def boot(firmware, options, disk, run_dir, deadline=120.0, on_output=None, screenshot=None):
    """Boots `disk` (its writes discarded) on the QEMU `options`, each chunk of
    serial bytes to `on_output`. With a `screenshot` path there is no
    isa-debug-exit device (a kernel halts), and the display is saved there."""
    monitor_path = run_dir / "monitor.sock"
    monitor = Monitor(monitor_path)
    command = ["qemu-system-x86_64", "-accel", "tcg", "-nodefaults", "-display", "none",
               "-no-reboot", "-vga", "std", *shlex.split(options),
               *firmware_options(firmware, run_dir),
               "-drive", f"if=ide,format=raw,snapshot=on,file={disk}", "-serial", "stdio",
               "-monitor", f"unix:{monitor_path},server=on,wait=off"]
    if screenshot is None:
        command += ["-device", "isa-debug-exit,iobase=0xf4,iosize=4"]
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
    ending, halted = None, False
    try:
        while process.poll() is None and ending is None:
            time.sleep(0.25)
            if time.monotonic() - started > deadline:
                ending = "deadline reached"
            elif SECURE_BOOT_REFUSAL.search(b"".join(data for _, data in chunks)):
                ending = "Secure Boot refused the image"
            elif halted_interrupts_off(monitor):
                # Nothing but a non-maskable interrupt wakes it again.
                halted, ending = True, "halted with interrupts disabled"
        if process.poll() is None and screenshot is not None:
            monitor.ask(f"screendump {screenshot}")
    except OSError:
        process.wait(timeout=5)  # the monitor went away with QEMU; if QEMU still runs, this raises
    finally:
        monitor.close()
        exit_status = process.poll()
        if exit_status is None:
            process.terminate()
            process.wait()
        reader.join(timeout=5)
    raw = b"".join(data for _, data in chunks)
    (run_dir / "serial.bin").write_bytes(raw)
    return RunResult(raw, chunks, exit_status, halted,
                     ending or f"QEMU exited with status {exit_status}",
                     time.monotonic() - started, run_dir)
