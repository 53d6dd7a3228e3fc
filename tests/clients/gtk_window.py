#!/usr/bin/python3
"""A GTK 3 window for the GNOME tests that reports what it receives, one line each on
standard output: "ready", "key NAME", "text TEXT" (its text field's whole text after each
change), "button N X Y" / "release N X Y", "scroll up|down|left|right", "touch X Y",
"pasted TEXT" (or "pasted-file PATH"). Commands, one a line, from the named pipe
COMMANDS: "copy TEXT", "copy-file PATH" (the file's text), "paste", "paste-file PATH".
Usage: gtk_window.py TITLE COMMANDS"""
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


window = Gtk.Window(title=sys.argv[1])
window.set_default_size(400, 300)
view = Gtk.TextView()
window.add(view)
clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
window.add_events(Gdk.EventMask.ALL_EVENTS_MASK)
view.add_events(Gdk.EventMask.ALL_EVENTS_MASK)

window.connect("key-press-event", lambda w, e: say("key " + Gdk.keyval_name(e.keyval)) or False)
view.get_buffer().connect(
    "changed", lambda b: say("text " + b.get_text(b.get_start_iter(), b.get_end_iter(), True)))
view.connect("button-press-event",
             lambda w, e: say("button %d %d %d" % (e.button, e.x, e.y)) or False)
view.connect("button-release-event",
             lambda w, e: say("release %d %d %d" % (e.button, e.x, e.y)) or False)
directions = {Gdk.ScrollDirection.UP: "up", Gdk.ScrollDirection.DOWN: "down",
              Gdk.ScrollDirection.LEFT: "left", Gdk.ScrollDirection.RIGHT: "right"}


def on_scroll(widget, event):
    if event.direction in directions:
        say("scroll " + directions[event.direction])
    elif event.direction == Gdk.ScrollDirection.SMOOTH and event.delta_y != 0:
        say("scroll " + ("down" if event.delta_y > 0 else "up"))
    return True


view.connect("scroll-event", on_scroll)


def on_touch(widget, event):
    if event.type == Gdk.EventType.TOUCH_BEGIN:
        say("touch %d %d" % (event.x, event.y))
    return False


view.connect("touch-event", on_touch)


pending = b""


def on_command(source, condition):
    global pending
    pending += os.read(source, 65536)
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        run(line.decode("utf-8"))
    return True


def run(line):
    command, _, argument = line.partition(" ")
    if command == "copy":
        clipboard.set_text(argument, -1)
        clipboard.store()
    elif command == "copy-file":
        with open(argument, encoding="utf-8") as text:
            clipboard.set_text(text.read(), -1)
    elif command == "paste":
        clipboard.request_text(lambda c, text: say("pasted " + (text or "")))
    elif command == "paste-file":
        def write(c, text):
            with open(argument, "w", encoding="utf-8") as out:
                out.write(text or "")
            say("pasted-file " + argument)
        clipboard.request_text(write)


# Opened for writing too, so that the pipe never reports its end.
GLib.io_add_watch(os.open(sys.argv[2], os.O_RDWR | os.O_NONBLOCK), GLib.IO_IN, on_command)
window.connect("destroy", Gtk.main_quit)
def on_mapped(widget, event):
    say("ready")
    window.disconnect(mapped)
    return False


mapped = window.connect("map-event", on_mapped)
window.show_all()
view.grab_focus()
Gtk.main()
