#!/usr/bin/env python3
"""Runs the hardware lab's guest under QEMU and judges it.

The guest (tests/vm/guest-init.sh) writes its log to the serial console and
asks the host for hardware changes with lines "@@unplug ID", "@@unplugged ID"
(waits for QEMU's DEVICE_DELETED), "@@plug ID" and "@@throttle ID
BYTES_PER_SECOND"; each is carried out through QMP and answered
with a line "ok" or "error TEXT" on the console's input. It reports results
as "@@result NAME pass|fail|known-failure SECONDS TEXT". Disks that a scenario must leave
untouched are compared by SHA-256 before the guest starts and after it ends.
"""
import argparse
import hashlib
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import time

# The USB sticks, by QEMU device id: backing file, xHCI port, block size,
# and for the one pulled mid-operation a throttle that makes the operations
# long enough to pull it in the middle.
STICKS = {
    "stick": ("stick.img", 1, 512),
    "stick4k": ("stick4k.img", 2, 4096),
    "pull": ("pull.img", 3, 512),
}
UNTOUCHED = ["nvme.img", "boot.img", "swap.img"]
# Failures the guest reports as known, only with the exact symptom, each
# waiting for a fix that is under way; a pass is a pass.
KNOWN_FAILURES = {}
DEADLINE_SECONDS = 280


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for chunk in iter(lambda: handle.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


class Qmp:
    def __init__(self, path):
        deadline = time.monotonic() + 10
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.file = self.sock.makefile("rw")
        self.events = []
        self.file.readline()  # greeting
        self.command("qmp_capabilities")

    def _next(self):
        message = json.loads(self.file.readline())
        if "event" in message:
            self.events.append(message)
        return message

    def command(self, name, **arguments):
        """Returns None on success, else the error's description."""
        self.file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = self._next()
            if "return" in reply:
                return None
            if "error" in reply:
                return reply["error"].get("desc", "error")

    def wait_deleted(self, device, timeout):
        """Waits for the guest to let go of an unplugged device."""
        self.sock.settimeout(timeout)
        try:
            while True:
                for event in self.events:
                    if (event["event"] == "DEVICE_DELETED"
                            and event.get("data", {}).get("device") == device):
                        self.events.remove(event)
                        return None
                self._next()
        except (socket.timeout, OSError):
            return f"{device} was not released by the guest within {timeout} s"
        finally:
            self.sock.settimeout(None)


def stick_devices(name):
    """The QEMU devices of a stick, in the order they are added."""
    _, port, block = STICKS[name]
    usb = {"bus": "xhci.0", "port": str(port), "id": name}
    if block == 512:
        return [dict(usb, driver="usb-storage", drive=name + "-drive", removable=True)]
    # usb-storage ignores the block size it is given; a bulk-only transport
    # with its own SCSI disk is the same stick to the guest's usb-storage
    # driver, and that disk honours it.
    return [dict(usb, driver="usb-bot"),
            {"driver": "scsi-hd", "id": name + "-disk", "bus": name + ".0",
             "drive": name + "-drive", "removable": True,
             "logical_block_size": block, "physical_block_size": block}]


def accelerator():
    """TCG unless RAVIK_LAB_ACCEL names another: a /dev/kvm that opens is no
    proof of a KVM that runs guests (a nested one here boots nothing)."""
    return os.environ.get("RAVIK_LAB_ACCEL", "tcg")


def qemu_command(args, qmp_path):
    disks = args.disks
    command = [
        "qemu-system-x86_64", "-machine", "pc,accel=" + accelerator(), "-m", "768", "-smp", "1",
        "-nodefaults", "-display", "none", "-serial", "stdio", "-no-reboot",
        "-qmp", f"unix:{qmp_path},server=on,wait=off",
        "-kernel", args.kernel, "-initrd", args.initrd,
        "-append", "console=ttyS0 quiet panic=-1 lab.only=" + ",".join(args.scenario),
        "-object", "throttle-group,id=pull-throttle",
        "-device", "qemu-xhci,id=xhci",
    ]
    for name, (backing, _, _) in STICKS.items():
        file_node = name + "-file"
        command += ["-blockdev", json.dumps({
            "driver": "file", "node-name": file_node,
            "filename": os.path.join(disks, backing)})]
        if name == "pull":
            command += ["-blockdev", json.dumps({
                "driver": "throttle", "node-name": name + "-throttled",
                "throttle-group": "pull-throttle", "file": file_node})]
            file_node = name + "-throttled"
        command += ["-blockdev", json.dumps({
            "driver": "raw", "node-name": name + "-drive", "file": file_node})]
        for device in stick_devices(name):
            command += ["-device", ",".join(
                f"{key}={'on' if value is True else value}" for key, value in device.items())]
    command += [
        "-drive", f"if=none,id=boot,format=raw,file={disks}/boot.img",
        "-device", "virtio-blk-pci,drive=boot,serial=boot",
        "-drive", f"if=none,id=swap,format=raw,file={disks}/swap.img",
        "-device", "virtio-blk-pci,drive=swap,serial=swap",
        "-drive", f"if=none,id=nv,format=raw,file={disks}/nvme.img",
        "-device", "nvme,drive=nv,serial=lab-nvme",
        "-device", "sdhci-pci",
        "-drive", f"if=none,id=sd,format=raw,file={disks}/sd.img",
        "-device", "sd-card,drive=sd",
    ]
    return command


def carry_out(qmp, request):
    words = request.split()
    if words[0] == "unplug" and words[1] in STICKS:
        # The guest goes on at once (a stick pulled mid-write); the next
        # request waits until QEMU has let go of it.
        return qmp.command("device_del", id=words[1])
    if words[0] == "unplugged" and words[1] in STICKS:
        return qmp.wait_deleted(words[1], 30)
    if words[0] == "plug" and words[1] in STICKS:
        devices = stick_devices(words[1])
        for device in devices:
            error = qmp.command("device_add", **device)
            if error is not None:
                return error
        if len(devices) > 1:
            # A hot-plugged bulk-only transport stays detached from the bus
            # until its disks are in place: the guest sees nothing until then.
            return qmp.command("qom-set", path=words[1], property="attached", value=True)
        return None
    if words[0] == "throttle" and words[1] == "pull":
        rate = int(words[2])
        return qmp.command("qom-set", path="/objects/pull-throttle", property="limits",
                           value={"bps-total": rate} if rate else {})
    return "unknown request " + request


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initrd", required=True)
    parser.add_argument("--disks", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("scenario", nargs="*")
    args = parser.parse_args()

    echo_console = os.environ.get("RAVIK_LAB_CONSOLE") == "1"
    before = {name: sha256(os.path.join(args.disks, name)) for name in UNTOUCHED}
    started = time.monotonic()
    results = []
    failures = []
    with tempfile.TemporaryDirectory() as scratch, open(args.log, "w") as log:
        qmp_path = os.path.join(scratch, "qmp")
        qemu = subprocess.Popen(qemu_command(args, qmp_path), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        qmp = Qmp(qmp_path)
        pending = b""
        finished = False
        while not finished:
            remaining = started + DEADLINE_SECONDS - time.monotonic()
            if remaining <= 0:
                failures.append(f"the guest did not finish within {DEADLINE_SECONDS} s")
                break
            ready, _, _ = select.select([qemu.stdout], [], [], min(remaining, 1.0))
            if not ready:
                continue
            chunk = os.read(qemu.stdout.fileno(), 65536)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                log.write(f"{time.monotonic() - started:7.2f} {line}\n")
                log.flush()
                if echo_console:
                    print(line, flush=True)
                if not line.startswith("@@"):
                    continue
                words = line[2:].split(" ", 4)
                if words[0] == "result" and len(words) >= 4:
                    results.append(words[1:])
                    detail = words[4] if len(words) > 4 else ""
                    print(f"  {words[1]:<28} {words[2]:<14} {words[3]:>6} s  {detail}",
                          flush=True)
                elif words[0] == "done":
                    finished = True
                else:
                    error = carry_out(qmp, line[2:])
                    qemu.stdin.write(b"ok\n" if error is None else f"error {error}\n".encode())
                    qemu.stdin.flush()
        try:
            qemu.wait(timeout=20)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()

    for name, digest in before.items():
        if sha256(os.path.join(args.disks, name)) != digest:
            failures.append(f"{name} changed although every write to it must be refused")
    if not finished:
        failures.append("the guest ended without reporting that it finished")
    for name, verdict, *_ in results:
        if verdict != "pass" and not (verdict == "known-failure" and name in KNOWN_FAILURES):
            failures.append(f"scenario {name} failed")
        if verdict == "known-failure":
            print(f"hardware lab: {name} fails as known, waiting for "
                  f"{KNOWN_FAILURES.get(name, 'a fix')}: see its line above",
                  file=sys.stderr)
    if not results:
        failures.append("the guest reported no result")
    print(f"  guest ran {time.monotonic() - started:.0f} s; console log: {args.log}")
    for failure in failures:
        print("hardware lab: FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
