"""A host program of the exported interface, driven line by line from standard input.

    api_host.py LIBRARY

Commands, one a line; each answers with one line (the library's own console lines come
before it):
    open VID PID [SERIAL]   open_hiddev          -> "open RESULT"
    default                 open_hiddev_default  -> "default RESULT"
    write HEX               hiddev_write         -> "write RESULT"
    frames N                N keyboard frames through makeHid and the installed sink
                                                 -> "frames SECONDS MIN MEDIAN P99" (seconds
                                                    in all, and per frame)
    pins                    set_pintrig_cb       -> "pins THREADS" (threads of the process)
    wait N SECONDS          run_pending_calls until N pin events came, or SECONDS passed
                                                 -> "pin MASK STATUS" per event, then "waited"
    close                   close_hiddev         -> "close THREADS_BEFORE THREADS_AFTER"
"""

import ctypes
import os
import sys
import time

library = ctypes.CDLL(sys.argv[1])
libc = ctypes.CDLL(None)
library.open_hiddev.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_wchar_p]
library.hiddev_write.argtypes = [ctypes.c_char_p, ctypes.c_int]
library.makeHid.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
PinCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)
events = []
on_pins = PinCallback(lambda mask, status: events.append((mask, status)))


def threads():
    return len(os.listdir("/proc/self/task"))


def answer(text):
    libc.fflush(None)  # the library's printf lines first
    print(text, flush=True)


for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    command, arguments = words[0], words[1:]
    if command == "open":
        serial = arguments[2] if len(arguments) > 2 else None
        result = library.open_hiddev(int(arguments[0], 0), int(arguments[1], 0), serial)
        answer("open %d" % result)
    elif command == "default":
        answer("default %d" % library.open_hiddev_default())
    elif command == "write":
        data = bytes.fromhex(arguments[0])
        answer("write %d" % library.hiddev_write(data, len(data)))
    elif command == "frames":
        started = time.monotonic()
        durations = []
        for number in range(int(arguments[0])):
            report = bytes([0, 0, 4 + number % 26, 0, 0, 0, 0, 0])
            before = time.monotonic()
            library.makeHid(1, report, len(report))
            durations.append(time.monotonic() - before)
        durations.sort()
        answer("frames %.6f %.6f %.6f %.6f" % (time.monotonic() - started, durations[0],
                                               durations[len(durations) // 2],
                                               durations[len(durations) * 99 // 100]))
    elif command == "pins":
        library.set_pintrig_cb(on_pins)
        answer("pins %d" % threads())
    elif command == "wait":
        wanted, deadline = int(arguments[0]), time.monotonic() + float(arguments[1])
        while len(events) < wanted and time.monotonic() < deadline:
            library.run_pending_calls()
            time.sleep(0.01)
        for mask, status in events:
            answer("pin %#x %#x" % (mask, status))
        events.clear()
        answer("waited")
    elif command == "close":
        before = threads()
        library.close_hiddev()
        # A joined thread leaves /proc a moment after the join returns.
        settle = time.monotonic() + 2
        while threads() == before and time.monotonic() < settle:
            time.sleep(0.01)
        answer("close %d %d" % (before, threads()))
    else:
        answer("unknown command " + command)
