"""Real-USB and input-device checks, run as root inside the test VM (tests/vm/run).

The USB checks plug in one or two gadgets made by scripts/gadget-setup on the kernel's
dummy_hcd device controllers, so that the kernel's own USB host side, usbhid and hidraw
stand between the programs under test and the gadget's /dev/hidgN ends. The uhid checks
have the device make its functions through /dev/uhid and read them back through evdev. The key-state
checks make keyboards through uinput whose keys the host's scripts read through evdev. Prints one
"ok NAME" or "FAIL NAME: why" line per check and closes with "N passed, M failed".

    checks.py BUILD_DIR [CHECK...]
"""

import fcntl
import glob
import os
import select
import signal
import struct
import subprocess
import sys
import threading
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

    def __init__(self, name, vendor=VENDOR, serial="0001", command_only=False):
        self.name = name
        command = [GADGET_SETUP, "up", "--name", name, "--vendor", hex(vendor), "--serial", serial]
        if command_only:
            command.append("--command-only")
        made = subprocess.run(command, capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, TAPLINE_DEVICE=DEVICE))
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

    def plug(self, vendor=None):
        if vendor is not None:
            with open(self.path("idVendor"), "w") as ids:
                ids.write(hex(vendor))
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


class ReportCollector:
    """Collects, with their arrival times, the reports the host writes to one gadget
    function. The node goes away while the gadget is unplugged and is opened again when
    it is back."""

    def __init__(self, device):
        self.device = device
        self.reports = []  # (monotonic seconds, bytes)
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        fd = None
        while not self.stopping.is_set():
            if fd is None:
                try:
                    fd = os.open(self.device, os.O_RDONLY | os.O_NONBLOCK)
                except OSError:
                    time.sleep(0.02)
                    continue
            try:
                if select.select([fd], [], [], 0.1)[0]:
                    report = os.read(fd, 4096)
                    with self.lock:
                        self.reports.append((time.monotonic(), report))
            except OSError:
                os.close(fd)
                fd = None
        if fd is not None:
            os.close(fd)

    def wait(self, count, seconds=20):
        """The reports so far, once there are `count` of them or `seconds` have passed."""
        deadline = time.monotonic() + seconds
        while len(self.reports) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        with self.lock:
            return [report for _, report in self.reports]

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return [report for _, report in self.reports]


class ApiHost:
    """tests/vm/api_host.py in a child process: the exported interface as a host uses it."""

    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-B", os.path.join(ROOT, "tests", "vm", "api_host.py"), LIBRARY],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        self.pending = b""

    def ask(self, command, seconds=30):
        """Lines printed up to and including the answer line, which starts with the
        command's first word."""
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        word = command.split()[0]
        # The answer to "wait" is "waited"; every other answer starts with its command.
        answer_word = "waited" if word == "wait" else word
        lines = []
        deadline = time.monotonic() + seconds
        fd = self.process.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                lines.append(line.decode("gbk", "replace"))
                if lines[-1].split(" ")[0] == answer_word:
                    return lines
            left = deadline - time.monotonic()
            expect(left > 0 and select.select([fd], [], [], left)[0],
                   "no answer to %r; got %r" % (command, lines))
            chunk = os.read(fd, 4096)
            expect(chunk, "the host ended before answering %r; got %r" % (command, lines))
            self.pending += chunk

    def end(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def answer_of(lines):
    return lines[-1].split()[1:]


def write_script(name, text):
    path = os.path.join("/tmp", name)
    with open(path, "w") as script:
        script.write(text)
    return path


def run_tapline(script_text, seconds=30):
    script = write_script("check.lua", script_text)
    return subprocess.run([TAPLINE, script], capture_output=True, timeout=seconds)


CHECKS = []
BENCHES = []  # run only when named


def check(function):
    CHECKS.append(function)
    return function


def bench(function):
    BENCHES.append(function)
    return function


@check
def keypress_reaches_the_command_function():
    """The gadget shows up as hidraw with the device's identity, and a script's KeyPress
    leaves the kernel as the two frames, byte for byte, on interface 3."""
    gadget = Gadget("tapline")
    try:
        wait_for_hidraw(VENDOR)
        collector = ReportCollector(gadget.devices["command"])
        run = run_tapline('KeyPress("a")\n')
        collector.wait(2)
        reports = collector.stop()
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


@check
def serial_number_picks_one_of_two_gadgets():
    """Two devices with the same identity: the serial number chooses, and the frame goes
    to the chosen one only. With only the second identity present, the default open
    falls back to it."""
    first = Gadget("first", serial="A-1", command_only=True)
    second = Gadget("second", serial="B-2", command_only=True)
    host = ApiHost()
    try:
        wait_for_hidraw(VENDOR, interfaces=2)
        collectors = {"A-1": ReportCollector(first.devices["command"]),
                      "B-2": ReportCollector(second.devices["command"])}
        for number, serial in enumerate(["B-2", "A-1"]):
            lines = host.ask("open 0x5131 0x2019 " + serial)
            expect(answer_of(lines) == ["1"], "open by serial %s: %r" % (serial, lines))
            expect(any(line.startswith("found device, with sn:/dev/hidraw") for line in lines),
                   "no serial-number line: %r" % lines)
            report = frame(5, [number + 1, 0, 0, 0, 0, 0, 0])
            expect(answer_of(host.ask("write " + report[:11].hex())) == ["65"], "write failed")
            expect(collectors[serial].wait(1) == [report], "%s did not get its frame" % serial)
        expect(len(collectors["A-1"].stop()) == 1 and len(collectors["B-2"].stop()) == 1,
               "a frame reached the device that was not chosen")

        host.ask("close")
        first.unplug()
        second.unplug()
        first.plug(vendor=SECOND_VENDOR)
        wait_for_hidraw(SECOND_VENDOR, interfaces=1)
        lines = host.ask("default")
        expect(answer_of(lines) == ["1"], "default open: %r" % lines)
        expect(lines.count("usb open fail!") == 1 and "found device,devpath:" in lines[-2],
               "the first identity should fail once, then the second open: %r" % lines)
    finally:
        host.end()
        first.down()
        second.down()


@check
def pin_callback_and_close_end_the_read_thread():
    """Input reports written into the gadget reach the host's pin callback, decoded at
    the right offsets; a report without an active pin calls nothing; close_hiddev ends
    the read thread without waiting for another report."""
    gadget = Gadget("tapline")
    host = ApiHost()
    try:
        wait_for_hidraw(VENDOR)
        expect(answer_of(host.ask("default")) == ["1"], "the device did not open")
        threads_reading = int(answer_of(host.ask("pins"))[0])
        reports = [bytearray(REPORT) for _ in range(3)]
        reports[0][34:36] = b"\x12\x34"  # a status word but no pin: no call
        reports[1][3], reports[1][9], reports[1][34:36] = 0x7F, 1, b"\x12\x34"
        reports[2][0] = 0x80
        command = os.open(gadget.devices["command"], os.O_WRONLY)
        for report in reports:
            os.write(command, bytes(report))
        os.close(command)
        lines = host.ask("wait 2 20")
        expect(lines == ["pin 0x208 0x1234", "pin 0x1 0x0", "waited"], "pin events: %r" % lines)
        before, after = map(int, answer_of(host.ask("close")))
        expect(before == threads_reading and after == before - 1,
               "threads: %d reading, %d before the close, %d after" % (threads_reading, before, after))
    finally:
        host.end()
        gadget.down()


@check
def unplug_and_replug_mid_script():
    """Unbinding the gadget from its controller while a script types loses the frames
    sent meanwhile, says so, and the device is opened again once it is bound again."""
    gadget = Gadget("tapline")
    try:
        wait_for_hidraw(VENDOR)
        collector = ReportCollector(gadget.devices["command"])
        script = write_script("typing.lua", 'for i = 1, 80 do KeyPress("a") Delay(40) end\n')
        run = subprocess.Popen([TAPLINE, script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        before = len(collector.wait(10))
        gadget.unplug()
        time.sleep(1)
        gadget.plug()
        out, err = run.communicate(timeout=120)
        reports = collector.stop()
        said = err.decode("utf-8", "replace")
        expect(run.returncode == 0, "tapline ended with %d: %s" % (run.returncode, said))
        expect("is gone; it is opened again when it returns" in said, "unplug not said: " + said)
        expect("the USB device takes frames again;" in said, "replug not said: " + said)
        expect(len(reports) > before, "no frame after the replug")
        expect(all(report in (keyboard_frame(0x04), keyboard_frame()) for report in reports),
               "unexpected reports: %s" % [r.hex() for r in reports if r[:2] != b"\x2c\x08"])
    finally:
        gadget.down()


EVENT = struct.Struct("llHHi")  # struct input_event: time, type, code, value
EV_KEY, EV_REL, EV_ABS = 1, 2, 3


def gadget_event_nodes(vendor):
    """/dev/input/event* of the input devices the host made for the gadget's functions."""
    nodes = []
    for node in sorted(glob.glob("/sys/class/input/event*")):
        try:
            if int(open(os.path.join(node, "device", "id", "vendor")).read(), 16) == vendor:
                nodes.append("/dev/input/" + os.path.basename(node))
        except OSError:
            continue
    return nodes


class EventCollector:
    """Every event of the given evdev nodes, as (type, code, value)."""

    def __init__(self, nodes):
        self.fds = [os.open(node, os.O_RDONLY | os.O_NONBLOCK) for node in nodes]
        self.events = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        open_fds = list(self.fds)
        while not self.stopping.is_set():
            for fd in select.select(open_fds, [], [], 0.1)[0]:
                try:
                    data = os.read(fd, EVENT.size * 64)
                except OSError:  # the device went away: its events end here
                    open_fds.remove(fd)
                    continue
                for offset in range(0, len(data) - EVENT.size + 1, EVENT.size):
                    self.events.append(EVENT.unpack_from(data, offset)[2:])

    def stop(self):
        self.stopping.set()
        self.thread.join()
        for fd in self.fds:
            os.close(fd)
        return self.events


class LineCollector:
    """Every line a process writes to one of its pipes."""

    def __init__(self, pipe):
        self.lines = []
        self.thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self.thread.start()

    def _run(self, pipe):
        for line in pipe:
            self.lines.append(line.decode("utf-8", "replace"))

    def wait(self):
        self.thread.join(timeout=30)
        return "".join(self.lines)


def start_x_server(display):
    server = subprocess.Popen(["Xvfb", display, "-screen", "0", "1000x1000x24", "-nolisten", "tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("the X server", lambda: os.path.exists("/tmp/.X11-unix/X" + display[1:]))
    return server


@check
def script_reaches_evdev_through_the_gadget_device():
    """A script over USB -> the kernel -> tapline-device --gadget -> the gadget's input
    functions -> the kernel's input devices: every kind of input the script sent is seen
    on evdev, a frame over UDP too, and the device leaves nothing held when it stops."""
    gadget = Gadget("tapline")
    x_server = start_x_server(":5")  # MoveTo scales by the screen of the machine it runs on
    device = None
    try:
        wait_for_hidraw(VENDOR)
        device = subprocess.Popen([DEVICE, "--gadget", "--listen", "127.0.0.1:0"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready = device.stderr.readline().decode()
        expect(ready.startswith("gadget tapline: command function /dev/hidg"), "device: " + ready)
        listening = device.stderr.readline().decode()
        expect(listening.startswith("listening on 127.0.0.1:"), "device: " + listening)
        port = listening.strip().rsplit(":", 1)[1]
        out = LineCollector(device.stdout)
        # Keyboard; mouse, pointer, joystick; touch screen, consumer and system keys.
        nodes = wait_for("the gadget's input devices", lambda: len(gadget_event_nodes(VENDOR)) >= 7
                         and gadget_event_nodes(VENDOR))
        collector = EventCollector(nodes)
        script = write_script("inputs.lua", INPUTS_SCRIPT)
        run = subprocess.run([TAPLINE, script], capture_output=True, timeout=60,
                             env=dict(os.environ, DISPLAY=":5"))
        expect(run.returncode == 0, "tapline: %s" % run.stderr.decode("utf-8", "replace"))
        # Frames over UDP reach the same functions.
        script = write_script("udp.lua", 'KeyPress("d")\n')
        run = subprocess.run([TAPLINE, script, "net", "127.0.0.1", port], capture_output=True,
                             timeout=60)
        expect(run.returncode == 0, "tapline over UDP: %s" % run.stderr.decode("utf-8", "replace"))
        # A host that dies with a key held: the device lifts it when it stops.
        holding = subprocess.Popen([TAPLINE, write_script("hold.lua", 'KeyDown("c") Delay(60000)')],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        KEY_C = 46
        wait_for("c held", lambda: (EV_KEY, KEY_C, 1) in collector.events)
        holding.kill()
        holding.wait()
        time.sleep(0.5)
        # The host's lock lights come back through the keyboard's output report.
        set_caps_lock_light(nodes)
        wait_for("the Caps Lock light in the device's output",
                 lambda: any("lit: CapsLock" in line for line in out.lines))
        device.send_signal(signal.SIGTERM)
        said = device.communicate(timeout=30)[1].decode("utf-8", "replace")
        expect(device.returncode == 0, "the device ended with %d: %s" % (device.returncode, said))
        events = set(collector.stop())
        wanted = dict(INPUTS_ON_EVDEV, **{
            "key d over UDP": [(EV_KEY, KEY_D, 1), (EV_KEY, KEY_D, 0)],
            "release at the device's stop": [(EV_KEY, KEY_C, 0)],
        })
        expect_on_evdev(wanted, events)
        expect("report" not in said, "the device dropped reports: " + said)
    finally:
        if device is not None and device.poll() is None:
            device.kill()
            device.wait()
        x_server.terminate()
        x_server.wait()
        gadget.down()


KEY_ENTER, KEY_LEFTSHIFT, KEY_CAPSLOCK = 28, 42, 58
KEY_A, KEY_B, KEY_C, KEY_D = 30, 48, 46, 32
KEY_ESC, KEY_KP7, KEY_RIGHTSHIFT = 1, 71, 54
EV_SYN, EV_LED, LED_CAPSL = 0, 0x11, 1
BTN_LEFT, BTN_SIDE, REL_X, REL_Y, REL_HWHEEL, REL_WHEEL = 0x110, 0x113, 0, 1, 6, 8

# What a script of every kind of input makes the kernel's own drivers report, whether
# the device is a USB gadget or uhid devices: the same report descriptors either way.
INPUTS_SCRIPT = """
KeyPress("a")
key("B!")
LeftClick()
MoveR(5, -3)
MoveTo(100, 250)
TouchClick(540, 1204)
joyKey(3)
vol_up()
"""
KEY_1, KEY_VOLUMEUP = 2, 115
BTN_TOP, BTN_TOUCH = 0x123, 0x14A
ABS_X, ABS_Y, ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y = 0, 1, 0x2F, 0x35, 0x36
INPUTS_ON_EVDEV = {
    "key a": [(EV_KEY, KEY_A, 1), (EV_KEY, KEY_A, 0)],
    "text B!": [(EV_KEY, KEY_B, 1), (EV_KEY, KEY_LEFTSHIFT, 1), (EV_KEY, KEY_1, 1)],
    "left click": [(EV_KEY, BTN_LEFT, 1), (EV_KEY, BTN_LEFT, 0)],
    "relative move": [(EV_REL, REL_X, 5), (EV_REL, REL_Y, -3)],
    "absolute move": [(EV_ABS, ABS_X, 409), (EV_ABS, ABS_Y, 1023)],
    "touch": [(EV_KEY, BTN_TOUCH, 1), (EV_ABS, ABS_MT_POSITION_X, 2047),
              (EV_ABS, ABS_MT_POSITION_Y, 2047), (EV_KEY, BTN_TOUCH, 0)],
    "joystick button": [(EV_KEY, BTN_TOP, 1), (EV_KEY, BTN_TOP, 0)],
    "consumer key": [(EV_KEY, KEY_VOLUMEUP, 1), (EV_KEY, KEY_VOLUMEUP, 0)],
}


def expect_on_evdev(wanted, events):
    missing = {what: [event for event in expected if event not in events]
               for what, expected in wanted.items()}
    missing = {what: events_missing for what, events_missing in missing.items() if events_missing}
    expect(not missing, "not seen on evdev: %r; seen: %r" % (missing, sorted(events)))


def set_caps_lock_light(nodes):
    """Lights Caps Lock on the keyboard among `nodes`, as the desktop or console does."""
    for node in nodes:
        folder = os.path.join("/sys/class/input", os.path.basename(node), "device")
        if open(os.path.join(folder, "capabilities", "led")).read().strip() != "0":
            keyboard = os.open(node, os.O_WRONLY)
            try:
                os.write(keyboard, EVENT.pack(0, 0, EV_LED, LED_CAPSL, 1) +
                         EVENT.pack(0, 0, EV_SYN, 0, 0))
            finally:
                os.close(keyboard)
            return
    raise CheckFailed("no keyboard with lights among %r" % nodes)


UHID_NAME = "Tapline software device"


def uhid_event_nodes(function=""):
    """/dev/input/event* of the input devices the kernel made for the uhid devices."""
    nodes = []
    for folder in sorted(glob.glob("/sys/class/input/event*")):
        try:
            name = open(os.path.join(folder, "device", "name")).read()
        except OSError:
            continue
        node = "/dev/input/" + os.path.basename(folder)
        if name.startswith(UHID_NAME + " " + function) and os.path.exists(node):
            nodes.append(node)
    return nodes


@check
def script_reaches_evdev_through_uhid_devices():
    """A script over UDP -> tapline-device --uhid -> the kernel's uhid, HID and input
    drivers: every kind of input is seen on evdev as through the gadget, the Caps Lock
    light set on the keyboard's event node reaches the device's output, and SIGTERM lifts
    what is held and removes the devices."""
    x_server = start_x_server(":6")  # MoveTo scales by the screen of the machine it runs on
    device = subprocess.Popen([DEVICE, "--uhid", "--listen", "127.0.0.1:0", "--json"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        ready = device.stderr.readline().decode()
        expect(ready == "uhid: keyboard, pointer and touch devices made\n", "device: " + ready)
        listening = device.stderr.readline().decode()
        expect(listening.startswith("listening on 127.0.0.1:"), "device: " + listening)
        port = listening.strip().rsplit(":", 1)[1]
        out = LineCollector(device.stdout)
        # Keyboard; mouse, pointer, joystick; touch screen, consumer and system keys.
        nodes = wait_for("the uhid devices' input devices",
                         lambda: len(uhid_event_nodes()) >= 7 and uhid_event_nodes())
        collector = EventCollector(nodes)
        script = write_script("uhid_inputs.lua", INPUTS_SCRIPT + "MouseWheel(-3)\nTouchZoomIn()\n")
        run = subprocess.run([TAPLINE, script, "net", "127.0.0.1", port], capture_output=True,
                             timeout=120, env=dict(os.environ, DISPLAY=":6"))
        expect(run.returncode == 0, "tapline: %s" % run.stderr.decode("utf-8", "replace"))
        holding = subprocess.Popen([TAPLINE, write_script("uhid_hold.lua", 'KeyDown("c") Delay(60000)'),
                                    "net", "127.0.0.1", port],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("c held", lambda: (EV_KEY, KEY_C, 1) in collector.events)
        holding.kill()
        holding.wait()
        set_caps_lock_light(nodes)
        wait_for("the Caps Lock light in the device's output",
                 lambda: any('"lit":["CapsLock"]' in line for line in out.lines))
        device.send_signal(signal.SIGTERM)
        said = device.communicate(timeout=30)[1].decode("utf-8", "replace")
        expect(device.returncode == 0, "the device ended with %d: %s" % (device.returncode, said))
        events = set(collector.stop())
        wanted = dict(INPUTS_ON_EVDEV, **{
            "wheel": [(EV_REL, REL_WHEEL, -3)],
            "second finger": [(EV_ABS, ABS_MT_SLOT, 1)],
            "release at the device's stop": [(EV_KEY, KEY_C, 0)],
        })
        expect_on_evdev(wanted, events)
        expect("report" not in said, "the kernel did not take reports: " + said)
        expect(not uhid_event_nodes(), "devices left after the stop: %r" % uhid_event_nodes())
        leds = [line for line in out.wait().splitlines() if '"leds"' in line]
        expect(leds and leds[-1].endswith('"channel":1,"leds":"02","lit":["CapsLock"]}'),
               "light lines: %r" % leds)
    finally:
        if device.poll() is None:
            device.kill()
            device.wait()
        x_server.terminate()
        x_server.wait()


@check
def uhid_without_access_says_how_to_grant_it():
    """A user who may not write /dev/uhid gets one line that says how to grant it, and no
    devices."""
    run = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          DEVICE, "--uhid", "--listen", "127.0.0.1:0"],
                         capture_output=True, timeout=30, cwd="/tmp")
    said = run.stderr.decode("utf-8", "replace")
    expect(run.returncode == 1, "the device ended with %d: %s" % (run.returncode, said))
    expect(said.count("\n") == 1 and 'KERNEL=="uhid", GROUP="tapline", MODE="0660"' in said,
           "said: " + said)
    expect(not run.stdout and not uhid_event_nodes(), "output or devices: %r" % run.stdout)


def _ioctl_number(direction, number, size):
    return (direction << 30) | (size << 16) | (ord("U") << 8) | number


UI_DEV_CREATE, UI_DEV_DESTROY = _ioctl_number(0, 1, 0), _ioctl_number(0, 2, 0)
UI_DEV_SETUP = _ioctl_number(1, 3, 92)  # struct uinput_setup
UI_SET_EVBIT, UI_SET_KEYBIT, UI_SET_RELBIT, UI_SET_LEDBIT = (
    _ioctl_number(1, number, 4) for number in (100, 101, 102, 105))


class UinputKeyboard:
    """A keyboard with lock lights made through /dev/uinput: what the test presses, the
    kernel reports as the keys of a real keyboard, and the lights the kernel's console
    keyboard sets come back on our end. With `mouse`, it has mouse buttons and wheels too."""

    def __init__(self, name, mouse=False):
        self.fd = os.open("/dev/uinput", os.O_RDWR | os.O_NONBLOCK)
        for event_type in (EV_KEY, EV_LED) + ((EV_REL,) if mouse else ()):
            fcntl.ioctl(self.fd, UI_SET_EVBIT, event_type)
        for code in list(range(1, 128)) + (list(range(BTN_LEFT, BTN_SIDE + 1)) if mouse else []):
            fcntl.ioctl(self.fd, UI_SET_KEYBIT, code)
        for axis in (REL_X, REL_Y, REL_HWHEEL, REL_WHEEL) if mouse else ():
            fcntl.ioctl(self.fd, UI_SET_RELBIT, axis)
        for led in range(3):
            fcntl.ioctl(self.fd, UI_SET_LEDBIT, led)
        setup = struct.pack("HHHH80sI", 0x03, 0x1234, 0x5678, 1, name.encode(), 0)
        fcntl.ioctl(self.fd, UI_DEV_SETUP, setup)
        fcntl.ioctl(self.fd, UI_DEV_CREATE)
        wait_for(name + "'s event node", lambda: self._node(name))

    @staticmethod
    def _node(name):
        for folder in glob.glob("/sys/class/input/event*"):
            try:
                if open(os.path.join(folder, "device", "name")).read().strip() == name:
                    node = "/dev/input/" + os.path.basename(folder)
                    return node if os.path.exists(node) else None
            except OSError:
                continue
        return None

    def send(self, code, value, event_type=EV_KEY):
        os.write(self.fd, EVENT.pack(0, 0, event_type, code, value) + EVENT.pack(0, 0, EV_SYN, 0, 0))

    def press(self, code):
        self.send(code, 1)

    def release(self, code):
        self.send(code, 0)

    def tap(self, code):
        self.press(code)
        self.release(code)

    def wait_for_light(self, led, lit):
        """Until the kernel has set one of our lights to `lit`."""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if select.select([self.fd], [], [], 0.1)[0]:
                data = os.read(self.fd, EVENT.size * 16)
                for offset in range(0, len(data) - EVENT.size + 1, EVENT.size):
                    if EVENT.unpack_from(data, offset)[2:] == (EV_LED, led, int(lit)):
                        return
        raise CheckFailed("light %d never turned %s" % (led, "on" if lit else "off"))

    def destroy(self):
        fcntl.ioctl(self.fd, UI_DEV_DESTROY)
        os.close(self.fd)


class ScriptRepl:
    """A tapline script that evaluates each line it is sent as a Lua expression and answers
    "= value"; the expression runs while the test waits for its answer."""

    SCRIPT = ('for line in io.lines() do\n'
              '  io.write("= ", tostring(load("return " .. line)()), "\\n")\n'
              '  io.stdout:flush()\n'
              'end\n')

    def __init__(self):
        self.process = subprocess.Popen(
            [TAPLINE, write_script("repl.lua", self.SCRIPT), "net", "127.0.0.1", "9"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pending = b""

    def send(self, expression):
        self.process.stdin.write(expression.encode() + b"\n")
        self.process.stdin.flush()

    def answer(self, seconds=10):
        """The next answer; None when there is none within `seconds`."""
        fd = self.process.stdout.fileno()
        deadline = time.monotonic() + seconds
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                if line.startswith(b"= "):
                    return line[2:].decode("utf-8", "replace").strip()
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 4096)
            if not chunk:
                raise CheckFailed("the script ended: " + self.process.stderr.read().decode())
            self.pending += chunk

    def ask(self, expression):
        self.send(expression)
        answer = self.answer()
        expect(answer is not None, "no answer to %s" % expression)
        return answer

    def end(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)
        return self.process.stderr.read().decode("utf-8", "replace")


@check
def key_state_follows_uinput_keyboards():
    """With no X11 session the script reads the host's keys through evdev: keys pressed and
    released on a keyboard, Caps Lock as the kernel's console toggles its light, WaitKey
    with and without a time-out, and keyboards plugged in and pulled out while the script
    runs, with a key held on them."""
    first = UinputKeyboard("tapline check keyboard")
    second = None
    repl = ScriptRepl()
    try:
        states = "GetKeyState(65), GetKeyState('65'), GetKeyState(66), GetLED(0)"
        states = "table.concat({%s}, ' ')" % states
        expect(repl.ask(states) == "0 0 0 0", "before any press")
        first.press(KEY_A)
        expect(repl.ask(states) == "-128 -128 0 0", "A held")
        first.release(KEY_A)
        expect(repl.ask(states) == "0 0 0 0", "A released")

        caps = "table.concat({GetLED(0), GetLED(2), GetKeyState(0x14), GetLED(3)}, ' ')"
        first.press(KEY_CAPSLOCK)
        first.wait_for_light(LED_CAPSL, True)
        expect(repl.ask(caps) == "-127 -127 -127 -1", "Caps Lock held and on")
        first.release(KEY_CAPSLOCK)
        expect(repl.ask(caps) == "1 1 1 -1", "Caps Lock on")
        first.press(KEY_CAPSLOCK)
        first.wait_for_light(LED_CAPSL, False)
        first.release(KEY_CAPSLOCK)
        expect(repl.ask(caps) == "0 0 0 -1", "Caps Lock off")

        expect(repl.ask("WaitKey('b', 200)") == "0", "WaitKey timed out with B up")
        for wait, key in (("WaitKey('b')", KEY_B), ("WaitKey(' Enter ', 20000)", KEY_ENTER)):
            repl.send(wait)
            expect(repl.answer(seconds=0.5) is None, wait + " ended before the press")
            first.press(key)
            expect(repl.answer() == "1", wait + " after the press")
            first.release(key)

        # A keyboard plugged in while the script waits on a key only it presses.
        repl.send("WaitKey('c')")
        second = UinputKeyboard("tapline second keyboard")
        second.press(KEY_C)
        expect(repl.answer() == "1", "C on the keyboard plugged in while waiting")
        second.release(KEY_C)
        first.press(KEY_LEFTSHIFT)
        second.press(KEY_D)
        held = "table.concat({GetKeyState(0x10), GetKeyState(0xA0), GetKeyState(68)}, ' ')"
        expect(repl.ask(held) == "-128 -128 -128", "Shift on one keyboard, D on the other")
        # Pulled out and another plugged in before the script looks again: the new keyboard
        # gets the node (name and number) of the one pulled out.
        second.destroy()
        second = UinputKeyboard("tapline third keyboard")
        second.press(KEY_D)
        expect(repl.ask(held) == "-128 -128 -128", "D on the keyboard plugged in after one left")
        second.destroy()
        second = None
        expect(repl.ask(held) == "-128 -128 0", "D gone with its keyboard")
        first.release(KEY_LEFTSHIFT)
        expect(repl.ask(held) == "0 0 0", "all released")
        said = repl.end()
        expect("tapline:" not in said, "unexpected notice: " + said)
    finally:
        if repl.process.poll() is None:
            repl.process.kill()
        if second is not None:
            second.destroy()
        first.destroy()


@check
def key_state_without_device_access_says_how_to_grant_it():
    """A user outside the input group gets one notice that says how to join it, keys that
    read as up, and no endless wait."""
    keyboard = UinputKeyboard("tapline check keyboard")
    try:
        script = write_script("denied.lua", 'io.write("= ", GetKeyState(65), " ", GetLED(0), " ", '
                                            'WaitKey("a"), " ", WaitKey("a", 30), "\\n")\n')
        os.chmod(script, 0o644)
        keyboard.press(KEY_A)
        run = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                              TAPLINE, script, "net", "127.0.0.1", "9"],
                             capture_output=True, timeout=30, cwd="/tmp",
                             env=dict(os.environ, TAPLINE_KEYS="evdev"))
        out = run.stdout.decode("gbk", "replace")
        said = run.stderr.decode("utf-8", "replace")
        expect(run.returncode == 0, "tapline ended with %d: %s" % (run.returncode, said))
        expect("= 0 0 0 0\n" in out, "results: " + out)
        expect(said.count("sudo usermod -aG input $USER, then log in again") == 1, "notice: " + said)
    finally:
        keyboard.destroy()

@check
def hotkeys_follow_uinput_devices():
    """RegKbEvent and RegMouseEvent hear the input devices through evdev: keys by their
    virtual-key codes (Shift by side, the keypad's 7 by its second level), no auto-repeat,
    mouse buttons and wheel steps; Escape coming up ends the script's Loop."""
    device = UinputKeyboard("tapline check keyboard and mouse", mouse=True)
    try:
        script = write_script("hotkeys.lua", """
RegKbEvent(function(code, state)
  io.write("key ", code, " ", state, "\\n") io.flush()
  if code == 0x1B and state == 0 then EndScript() end
end)
RegMouseEvent(function(entry)
  io.write("mouse ", entry // 65536, " ", entry % 65536, "\\n") io.flush()
end)
io.write("ready\\n") io.flush()
Loop()
""")
        run = subprocess.Popen([TAPLINE, script, "net", "127.0.0.1", "9"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        wait_for("the script's ready line", lambda: run.stdout.readline().strip() == b"ready")
        device.tap(KEY_A)
        device.press(KEY_RIGHTSHIFT)
        device.tap(KEY_KP7)
        device.release(KEY_RIGHTSHIFT)
        device.press(KEY_C)
        device.send(KEY_C, 2)  # auto-repeat
        device.release(KEY_C)
        device.tap(BTN_LEFT)
        device.tap(BTN_SIDE)
        device.send(REL_WHEEL, -2, EV_REL)
        device.send(REL_HWHEEL, 1, EV_REL)
        device.tap(KEY_ESC)
        out, err = run.communicate(timeout=30)
        lines = out.decode("utf-8", "replace").splitlines()
        keys = [line for line in lines if line.startswith("key ")]
        mouse = [line for line in lines if line.startswith("mouse ")]
        expect(keys == ["key 65 1", "key 65 0", "key 161 1", "key 103 1", "key 103 0",
                        "key 161 0", "key 67 1", "key 67 0", "key 27 1", "key 27 0"],
               "keys: %r %s" % (keys, err.decode()))
        expect(mouse == ["mouse 1 1", "mouse 1 0", "mouse 8 1", "mouse 8 0", "mouse 5 1",
                         "mouse 5 1", "mouse 7 1"], "mouse: %r" % mouse)
    finally:
        device.destroy()


@check
def a_key_held_on_a_pulled_out_keyboard_comes_up():
    """RegKbEvent hears a key held on a keyboard pulled out come up, also when the keyboard
    is gone before its last events were read (the script's process stopped meanwhile), and
    the same key pressed on another keyboard afterwards."""
    first = UinputKeyboard("tapline check keyboard")
    second = UinputKeyboard("tapline second keyboard")
    run = None
    try:
        script = write_script("pulled.lua", """
RegKbEvent(function(code, state)
  io.write("key ", code, " ", state, "\\n") io.flush()
  if code == 0x1B and state == 0 then EndScript() end
end)
io.write("ready\\n") io.flush()
Loop()
""")
        run = subprocess.Popen([TAPLINE, script, "net", "127.0.0.1", "9"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        fd, pending = run.stdout.fileno(), [b""]

        def line():
            """The script's next line of its own (the program traces the calls too)."""
            deadline = time.monotonic() + 20
            while True:
                while b"\n" in pending[0]:
                    text, pending[0] = pending[0].split(b"\n", 1)
                    if text == b"ready" or text.startswith(b"key "):
                        return text.decode()
                left = deadline - time.monotonic()
                chunk = os.read(fd, 4096) if select.select([fd], [], [], max(left, 0))[0] else b""
                if not chunk:
                    return None
                pending[0] += chunk

        expect(line() == "ready", "the script did not start")
        second.press(KEY_D)
        expect(line() == "key 68 1", "D down on the second keyboard")
        run.send_signal(signal.SIGSTOP)
        second.destroy()
        second = None
        run.send_signal(signal.SIGCONT)
        expect(line() == "key 68 0", "D did not come up with its keyboard")
        first.tap(KEY_D)
        first.tap(KEY_ESC)
        keys = [line() for _ in range(4)]
        expect(keys == ["key 68 1", "key 68 0", "key 27 1", "key 27 0"], "keys: %r" % keys)
    finally:
        if run is not None and run.poll() is None:
            run.kill()
        if second is not None:
            second.destroy()
        first.destroy()


@check
def input_devices_are_opened_once_and_at_most_64():
    """The key state and RegKbEvent's listener share the input devices: each is opened once
    however many read it, and however many there are no more than 64 are kept open, which
    is said once."""
    keyboards = []
    repl = None
    try:
        for number in range(66):
            keyboards.append(UinputKeyboard("tapline keyboard %d" % number))
        repl = ScriptRepl()
        repl.ask("RegKbEvent(function() end) or 0")
        expect(repl.ask("GetKeyState(65)") == "0", "A is up")
        nodes = []
        for link in glob.glob("/proc/%d/fd/*" % repl.process.pid):
            try:
                nodes.append(os.readlink(link))
            except OSError:
                continue
        opened = [node for node in nodes if node.startswith("/dev/input/event")]
        expect(len(opened) == 64 and len(set(opened)) == 64, "open: %r" % sorted(opened))
        said = repl.end()
        expect(said.count("input devices: keys are read from 64 of them only") == 1,
               "notice: " + said)
    finally:
        if repl is not None and repl.process.poll() is None:
            repl.process.kill()
        for keyboard in keyboards:
            keyboard.destroy()


@bench
def usb_pacing(frames=500):
    """How evenly frames leave over real USB: keyboard frames through makeHid and the USB
    sink (10 ms pause after each write), timed where the gadget receives them."""
    gadget = Gadget("tapline")
    host = ApiHost()
    try:
        wait_for_hidraw(VENDOR)
        expect(answer_of(host.ask("default")) == ["1"], "the device did not open")
        collector = ReportCollector(gadget.devices["command"])
        sending, fastest, median, p99 = map(float, answer_of(host.ask("frames %d" % frames,
                                                                       seconds=120)))
        collector.wait(frames, seconds=30)
        collector.stop()
        times = [arrival for arrival, _ in collector.reports]
        expect(len(times) == frames, "%d of %d frames arrived" % (len(times), frames))
        gaps = sorted((later - earlier) * 1000 for earlier, later in zip(times, times[1:]))
        print("  frames %d, gaps in ms: min %.3f median %.3f p99 %.3f max %.3f, below 10 ms: %d"
              % (frames, gaps[0], gaps[len(gaps) // 2], gaps[int(len(gaps) * 0.99)], gaps[-1],
                 sum(gap < 10 for gap in gaps)))
        print("  sending took %.3f s for %d x 10 ms (%+.2f %%); arrivals span %.3f s"
              % (sending, frames, (sending / (frames * 0.010) - 1) * 100, times[-1] - times[0]))
        print("  one frame (write and pause) in ms: min %.3f median %.3f p99 %.3f"
              % (fastest * 1000, median * 1000, p99 * 1000))
    finally:
        host.end()
        gadget.down()


def main():
    wanted = set(sys.argv[2:])
    passed = failed = 0
    for function in CHECKS + BENCHES:
        if (wanted or function in BENCHES) and function.__name__ not in wanted:
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
