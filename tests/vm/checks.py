"""Real-USB checks, run as root inside the test VM (tests/vm/run).

Each check plugs in one or two gadgets made by scripts/gadget-setup on the kernel's
dummy_hcd device controllers, so that the kernel's own USB host side, usbhid and hidraw
stand between the programs under test and the gadget's /dev/hidgN ends. Prints one
"ok NAME" or "FAIL NAME: why" line per check and closes with "N passed, M failed".

    checks.py BUILD_DIR [CHECK...]
"""

import ctypes
import glob
import os
import select
import subprocess
import sys
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(sys.argv[1])
TAPLINE = os.path.join(BUILD, "tapline")
DEVICE = os.path.join(BUILD, "tools", "device", "tapline-device")
LIBRARY = os.path.join(BUILD, "src", "api", "libtapline.so")
GADGET_SETUP = os.path.join(ROOT, "scripts", "gadget-setup")

VENDOR, SECOND_VENDOR, PRODUCT = 0x5131, 0x5132, 0x2019
REPORT = 64  # payload bytes of a command-function report


class CheckFailed(Exception):
    pass


def expect(condition, why):
    if not condition:
        raise CheckFailed(why)


def frame(type_code, report, channel=1):
    """A command frame as the host builds it, padded to one 64-byte report."""
    type_byte = (type_code & 0x1F) | (channel << 6)
    body = bytes([0x2C, len(report), (type_byte + sum(report)) & 0xFF, type_byte]) + bytes(report)
    return body + bytes(REPORT - len(body))


def keyboard_frame(*keys, modifiers=0):
    return frame(1, [modifiers, 0, *keys, *[0] * (6 - len(keys))])


class Gadget:
    """One gadget made by scripts/gadget-setup: function name -> /dev/hidgN."""

    def __init__(self, name, vendor=VENDOR, serial="0001", udc=None):
        self.name = name
        command = [GADGET_SETUP, "up", "--name", name, "--vendor", hex(vendor), "--serial", serial]
        if udc:
            command += ["--udc", udc]
        made = subprocess.run(command, capture_output=True, text=True, timeout=30)
        expect(made.returncode == 0, "gadget-setup up failed: " + made.stderr)
        out = made.stdout
        self.devices = {}
        for line in out.splitlines():
            function, interface, device = line.split()
            self.devices[function] = device
        self.udc = open(self.path("UDC")).read().strip()

    def path(self, leaf):
        return os.path.join("/sys/kernel/config/usb_gadget", self.name, leaf)

    def unplug(self):
        with open(self.path("UDC"), "w") as udc:
            udc.write("\n")

    def plug(self):
        with open(self.path("UDC"), "w") as udc:
            udc.write(self.udc)

    def down(self):
        subprocess.run([GADGET_SETUP, "down", "--name", self.name], check=True, timeout=30)


def hidraw_nodes(vendor):
    """The hidraw nodes of the HID interfaces with this vendor and our product."""
    wanted = "HID_ID=0003:%08X:%08X" % (vendor, PRODUCT)
    nodes = []
    for node in sorted(glob.glob("/sys/class/hidraw/hidraw*")):
        try:
            uevent = open(os.path.join(node, "device", "uevent")).read()
        except OSError:
            continue
        if wanted in uevent.splitlines():
            nodes.append("/dev/" + os.path.basename(node))
    return nodes


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise CheckFailed("timed out waiting for " + what)


def wait_for_hidraw(vendor, interfaces=4):
    """Waits until every interface of the gadget has its hidraw node and that node exists."""
    return wait_for(
        "%d hidraw nodes of %04x:%04x" % (interfaces, vendor, PRODUCT),
        lambda: len(nodes := hidraw_nodes(vendor)) >= interfaces
        and all(os.path.exists(node) for node in nodes)
        and nodes,
    )


class ReportReader:
    """Reads the reports the host writes to one gadget function."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDONLY | os.O_NONBLOCK)

    def read(self, count, seconds=10):
        reports = []
        deadline = time.monotonic() + seconds
        while len(reports) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            if select.select([self.fd], [], [], left)[0]:
                reports.append(os.read(self.fd, 4096))
        return reports

    def close(self):
        os.close(self.fd)


def write_script(name, text):
    path = os.path.join("/tmp", name)
    with open(path, "w") as script:
        script.write(text)
    return path


def run_tapline(script_text, seconds=30):
    script = write_script("check.lua", script_text)
    return subprocess.run([TAPLINE, script], capture_output=True, timeout=seconds)


CHECKS = []


def check(function):
    CHECKS.append(function)
    return function


@check
def keypress_reaches_the_command_function():
    """The gadget shows up as hidraw with the device's identity, and a script's KeyPress
    leaves the kernel as the two frames, byte for byte, on interface 3."""
    gadget = Gadget("tapline")
    try:
        wait_for_hidraw(VENDOR)
        reader = ReportReader(gadget.devices["command"])
        run = run_tapline('KeyPress("a")\n')
        reports = reader.read(2)
        reader.close()
        out = run.stdout.decode("gbk", "replace")
        expect(run.returncode == 0, "tapline ended with %d: %s" % (run.returncode, run.stderr))
        expect("found device,devpath:/dev/hidraw" in out, "no device found:\n" + out)
        # Interfaces 0 to 2 are walked before the command function is chosen.
        walked = [line for line in out.splitlines() if line.startswith("VID:")]
        expect(walked[-1] == "VID:5131 PID:2019 Interface:3", "walk ended on %r" % walked[-1:])
        expect(
            reports == [keyboard_frame(0x04), keyboard_frame()],
            "reports on the command function: %s" % [r.hex() for r in reports],
        )
    finally:
        gadget.down()


def main():
    wanted = set(sys.argv[2:])
    passed = failed = 0
    for function in CHECKS:
        if wanted and function.__name__ not in wanted:
            continue
        started = time.monotonic()
        try:
            function()
            print("ok %s (%.1f s)" % (function.__name__, time.monotonic() - started), flush=True)
            passed += 1
        except Exception as error:  # any fault of one check is that check's failure
            detail = str(error) if isinstance(error, CheckFailed) else traceback.format_exc()
            print("FAIL %s: %s" % (function.__name__, detail), flush=True)
            failed += 1
    print("%d passed, %d failed" % (passed, failed), flush=True)


if __name__ == "__main__":
    main()
