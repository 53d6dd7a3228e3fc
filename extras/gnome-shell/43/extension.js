// Tapline's windows on GNOME Shell 43 and 44 (the ES-module twin for 45 and later is
// ../45/extension.js; keep the two alike). Exports on the Shell's own bus name what no
// other program may do on GNOME's Wayland session: list the windows with their frame
// rectangles, move and activate one, and commit text into the focused text field as an
// input method does. Nothing else: no resizing, no closing, no reading of window contents.
/* exported init */
const { Gio, Meta } = imports.gi;
const Main = imports.ui.main;

const PATH = '/org/gnome/Shell/Extensions/TaplineWindows';
const INTERFACE = `<node>
  <interface name="org.gnome.Shell.Extensions.TaplineWindows">
    <method name="List"><arg type="a(tsiiii)" direction="out" name="windows"/></method>
    <method name="Move">
      <arg type="t" direction="in" name="id"/><arg type="i" direction="in" name="x"/>
      <arg type="i" direction="in" name="y"/><arg type="b" direction="out" name="moved"/>
    </method>
    <method name="Activate">
      <arg type="t" direction="in" name="id"/><arg type="b" direction="out" name="activated"/>
    </method>
    <method name="CommitText">
      <arg type="s" direction="in" name="text"/><arg type="b" direction="out" name="committed"/>
    </method>
  </interface>
</node>`;

// The ordinary windows, the topmost first.
function windows() {
  return global.get_window_actors()
      .map(actor => actor.meta_window)
      .filter(window => !window.is_skip_taskbar() && !window.is_override_redirect())
      .reverse();
}

function windowOf(id) {
  return windows().find(window => window.get_id() === id) || null;
}

class Bridge {
  List() {
    return windows().map(window => {
      const frame = window.get_frame_rect();
      return [window.get_id(), window.get_title() || '', frame.x, frame.y, frame.width,
        frame.height];
    });
  }

  // The frame's top-left corner to (x, y), size kept; a maximized window is restored first.
  Move(id, x, y) {
    const window = windowOf(id);
    if (!window)
      return false;
    if (window.get_maximized())
      window.unmaximize(Meta.MaximizeFlags.BOTH);
    window.move_frame(true, x, y);
    window.activate(global.get_current_time());
    return true;
  }

  Activate(id) {
    const window = windowOf(id);
    if (window)
      window.activate(global.get_current_time());
    return window !== null;
  }

  // Only a text field that has the input method's focus takes a commit (X11 programs never).
  CommitText(text) {
    if (!Main.inputMethod._currentFocus)
      return false;
    Main.inputMethod.commit(text);
    return true;
  }
}

class Extension {
  enable() {
    this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE, new Bridge());
    this._exported.export(Gio.DBus.session, PATH);
  }

  disable() {
    this._exported.unexport();
    this._exported = null;
  }
}

function init() {
  return new Extension();
}
