// The desktop client of the Wayland tests: one fullscreen window (with `--window W H` a
// plain window of that size, which the compositor places) that reports, one line
// each on standard output, the key and pointer events it receives, in the lines of the X11
// desktop client so that the same tests read both. Keys are decoded with the keymap the
// compositor sends (libxkbcommon); states are X11's bits (0x1 Shift, 0x4 Control, 0x8
// Mod1, 0x100 button 1...), and a wheel click comes as the press and release of X button
// 4 (up) or 5 (down), as X clients see it. A press of button 1 fills the window with the
// next colour of a fixed list. Touches, which X11's client does not take, have lines of
// their own.
//
//   ready <width> <height>            the window is shown at its full size
//   keyboard-enter                    the window has the keyboard focus
//   key-down <keysym> <state>         keysym name, modifier and button state in hexadecimal
//   key-up <keysym> <state>           the key's unshifted keysym
//   text <utf-8>                      the printable text a key press typed
//   enter <x> <y>                     the pointer came over the window
//   button-down <button> <x> <y>
//   button-up <button> <x> <y>
//   motion <x> <y> <state>
//   fill <RRGGBB>                     the window now shows this colour
//   touch-down <id> <x> <y>           a touch contact came down on the window
//   touch-motion <id> <x> <y>
//   touch-up <id>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/xdg-shell-client-protocol.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::array<uint32_t, 4> kFillColours{0xE02020, 0x20A040, 0x2040E0, 0xF0C000};

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* shell = nullptr;
  wl_seat* seat = nullptr;
  wl_surface* surface = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_pointer* pointer = nullptr;
  wl_touch* touch = nullptr;

  int configured_width = 0;
  int configured_height = 0;
  int own_width = 0;  // --window: a plain window of this size
  int own_height = 0;
  int width = 0;  // of the buffer
  int height = 0;
  wl_buffer* buffer = nullptr;
  uint32_t* pixels = nullptr;
  size_t next_colour = 0;
  bool ready = false;

  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
  std::array<uint32_t, 4> modifiers{};  // depressed, latched, locked, group as last sent

  int x = 0;
  int y = 0;
  uint32_t buttons = 0;  // X state bits of the buttons held
};

// Modifiers and buttons as an X event's state.
uint32_t x_state(const Client& client) {
  const uint32_t modifiers = client.state != nullptr
                                 ? xkb_state_serialize_mods(client.state, XKB_STATE_MODS_EFFECTIVE)
                                 : 0;
  return (modifiers & 0xFF) | client.buttons;
}

std::string keysym_name(xkb_keysym_t keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) < 0) return "NoSymbol";
  return name;
}

void paint(Client& client, uint32_t colour) {
  std::fill_n(client.pixels, static_cast<size_t>(client.width) * client.height, colour);
  wl_surface_attach(client.surface, client.buffer, 0, 0);
  wl_surface_damage(client.surface, 0, 0, client.width, client.height);
  wl_surface_commit(client.surface);
}

bool make_buffer(Client& client) {
  const int stride = client.width * 4;
  const size_t size = static_cast<size_t>(stride) * client.height;
  const int fd = memfd_create("wayland-client", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) return false;
  client.pixels = static_cast<uint32_t*>(memory);
  wl_shm_pool* pool = wl_shm_create_pool(client.shm, fd, static_cast<int32_t>(size));
  client.buffer = wl_shm_pool_create_buffer(pool, 0, client.width, client.height, stride,
                                            WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return true;
}

// Keyboard.
void on_keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
  auto& client = *static_cast<Client*>(data);
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (text != MAP_FAILED) {
      xkb_keymap* keymap =
          xkb_keymap_new_from_string(client.xkb, static_cast<const char*>(text),
                                     XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
      munmap(text, size);
      if (keymap != nullptr) {
        xkb_state_unref(client.state);
        xkb_keymap_unref(client.keymap);
        client.keymap = keymap;
        client.state = xkb_state_new(keymap);
        // The modifiers held stay held across a keymap change.
        const auto& m = client.modifiers;
        xkb_state_update_mask(client.state, m[0], m[1], m[2], 0, 0, m[3]);
      }
    }
  }
  close(fd);
}

void on_keyboard_enter(void*, wl_keyboard*, uint32_t, wl_surface*, wl_array*) {
  std::printf("keyboard-enter\n");
}
void on_keyboard_leave(void*, wl_keyboard*, uint32_t, wl_surface*) {}

void on_key(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t pressed) {
  auto& client = *static_cast<Client*>(data);
  if (client.state == nullptr) return;
  const xkb_keycode_t code = key + 8;
  if (pressed == WL_KEYBOARD_KEY_STATE_PRESSED) {
    const xkb_keysym_t keysym = xkb_state_key_get_one_sym(client.state, code);
    std::printf("key-down %s %x\n", keysym_name(keysym).c_str(), x_state(client));
    char text[64] = {};
    xkb_state_key_get_utf8(client.state, code, text, sizeof text);
    const bool printable =
        text[0] != '\0' && std::none_of(text, text + std::strlen(text), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
    if (printable) std::printf("text %s\n", text);
  } else {
    const xkb_keysym_t* keysyms = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(
        client.keymap, code, xkb_state_key_get_layout(client.state, code), 0, &keysyms);
    std::printf("key-up %s %x\n", keysym_name(count > 0 ? keysyms[0] : 0).c_str(), x_state(client));
  }
}

void on_modifiers(void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched,
                  uint32_t locked, uint32_t group) {
  auto& client = *static_cast<Client*>(data);
  client.modifiers = {depressed, latched, locked, group};
  if (client.state != nullptr)
    xkb_state_update_mask(client.state, depressed, latched, locked, 0, 0, group);
}

void on_repeat_info(void*, wl_keyboard*, int32_t, int32_t) {}

constexpr wl_keyboard_listener kKeyboardListener = {on_keymap, on_keyboard_enter, on_keyboard_leave,
                                                    on_key,    on_modifiers,      on_repeat_info};

// Pointer.
void on_pointer_enter(void* data, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
  auto& client = *static_cast<Client*>(data);
  client.x = wl_fixed_to_int(x), client.y = wl_fixed_to_int(y);
  std::printf("enter %d %d\n", client.x, client.y);
}
void on_pointer_leave(void*, wl_pointer*, uint32_t, wl_surface*) {}

void on_motion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
  auto& client = *static_cast<Client*>(data);
  client.x = wl_fixed_to_int(x), client.y = wl_fixed_to_int(y);
  std::printf("motion %d %d %x\n", client.x, client.y, x_state(client));
}

void on_button(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t code, uint32_t pressed) {
  auto& client = *static_cast<Client*>(data);
  // X numbers: 1 left, 2 middle, 3 right, 8 and up the side buttons.
  const unsigned number = code == BTN_LEFT     ? 1
                          : code == BTN_MIDDLE ? 2
                          : code == BTN_RIGHT  ? 3
                                               : 8 + (code - BTN_SIDE);
  const uint32_t mask = number <= 3 ? 0x100u << (number - 1) : 0;
  const bool down = pressed == WL_POINTER_BUTTON_STATE_PRESSED;
  // X gives the state from before the event.
  std::printf("button-%s %u %d %d\n", down ? "down" : "up", number, client.x, client.y);
  client.buttons = down ? client.buttons | mask : client.buttons & ~mask;
  if (down && number == 1) {
    const uint32_t colour = kFillColours[client.next_colour++ % kFillColours.size()];
    paint(client, colour);
    std::printf("fill %06X\n", colour);
  }
}

void on_axis_discrete(void* data, wl_pointer*, uint32_t axis, int32_t clicks) {
  const auto& client = *static_cast<const Client*>(data);
  if (axis != WL_POINTER_AXIS_VERTICAL_SCROLL) return;
  const unsigned number = clicks < 0 ? 4 : 5;
  for (int i = 0; i < std::abs(clicks); ++i) {
    std::printf("button-down %u %d %d\n", number, client.x, client.y);
    std::printf("button-up %u %d %d\n", number, client.x, client.y);
  }
}

void on_axis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
void on_frame(void*, wl_pointer*) {}
void on_axis_source(void*, wl_pointer*, uint32_t) {}
void on_axis_stop(void*, wl_pointer*, uint32_t, uint32_t) {}
void on_axis_value120(void*, wl_pointer*, uint32_t, int32_t) {}

constexpr wl_pointer_listener kPointerListener = {
    on_pointer_enter, on_pointer_leave, on_motion,    on_button,        on_axis,
    on_frame,         on_axis_source,   on_axis_stop, on_axis_discrete, on_axis_value120};

// Touch.
void on_touch_down(void*, wl_touch*, uint32_t, uint32_t, wl_surface*, int32_t id, wl_fixed_t x,
                   wl_fixed_t y) {
  std::printf("touch-down %d %d %d\n", id, wl_fixed_to_int(x), wl_fixed_to_int(y));
}
void on_touch_up(void*, wl_touch*, uint32_t, uint32_t, int32_t id) {
  std::printf("touch-up %d\n", id);
}
void on_touch_motion(void*, wl_touch*, uint32_t, int32_t id, wl_fixed_t x, wl_fixed_t y) {
  std::printf("touch-motion %d %d %d\n", id, wl_fixed_to_int(x), wl_fixed_to_int(y));
}
void on_touch_frame(void*, wl_touch*) {}
void on_touch_cancel(void*, wl_touch*) {}
void on_touch_shape(void*, wl_touch*, int32_t, wl_fixed_t, wl_fixed_t) {}
void on_touch_orientation(void*, wl_touch*, int32_t, wl_fixed_t) {}

constexpr wl_touch_listener kTouchListener = {on_touch_down,       on_touch_up,     on_touch_motion,
                                              on_touch_frame,      on_touch_cancel, on_touch_shape,
                                              on_touch_orientation};

// Seat: the keyboard, pointer and touch come and go with the compositor's input devices.
void on_capabilities(void* data, wl_seat* seat, uint32_t capabilities) {
  auto& client = *static_cast<Client*>(data);
  const bool keyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
  const bool pointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
  if (keyboard && client.keyboard == nullptr) {
    client.keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(client.keyboard, &kKeyboardListener, &client);
  } else if (!keyboard && client.keyboard != nullptr) {
    wl_keyboard_release(client.keyboard);
    client.keyboard = nullptr;
  }
  if (pointer && client.pointer == nullptr) {
    client.pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(client.pointer, &kPointerListener, &client);
  } else if (!pointer && client.pointer != nullptr) {
    wl_pointer_release(client.pointer);
    client.pointer = nullptr;
    client.buttons = 0;
  }
  const bool touch = (capabilities & WL_SEAT_CAPABILITY_TOUCH) != 0;
  if (touch && client.touch == nullptr) {
    client.touch = wl_seat_get_touch(seat);
    wl_touch_add_listener(client.touch, &kTouchListener, &client);
  } else if (!touch && client.touch != nullptr) {
    wl_touch_release(client.touch);
    client.touch = nullptr;
  }
}
void on_seat_name(void*, wl_seat*, const char*) {}
constexpr wl_seat_listener kSeatListener = {on_capabilities, on_seat_name};

// Window.
void on_ping(void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }
constexpr xdg_wm_base_listener kShellListener = {on_ping};

void on_toplevel_configure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto& client = *static_cast<Client*>(data);
  client.configured_width = width, client.configured_height = height;
}
void on_toplevel_close(void*, xdg_toplevel*) { std::exit(0); }
void on_toplevel_bounds(void*, xdg_toplevel*, int32_t, int32_t) {}
void on_wm_capabilities(void*, xdg_toplevel*, wl_array*) {}
constexpr xdg_toplevel_listener kToplevelListener = {on_toplevel_configure, on_toplevel_close,
                                                     on_toplevel_bounds, on_wm_capabilities};

// The first configure leaves the size to the client (the window is not shown yet); once
// shown, the compositor gives a fullscreen window the output's size. A plain window keeps
// its own size until the compositor asks for another.
void on_surface_configure(void* data, xdg_surface* surface, uint32_t serial) {
  auto& client = *static_cast<Client*>(data);
  xdg_surface_ack_configure(surface, serial);
  const bool told = client.configured_width > 0 && client.configured_height > 0;
  const bool sized = told || client.own_width > 0;
  const int width = told ? client.configured_width : sized ? client.own_width : 64;
  const int height = told ? client.configured_height : sized ? client.own_height : 64;
  if (client.buffer == nullptr || width != client.width || height != client.height) {
    if (client.buffer != nullptr) {
      wl_buffer_destroy(client.buffer);
      munmap(client.pixels, static_cast<size_t>(client.width) * client.height * 4);
    }
    client.width = width, client.height = height;
    if (!make_buffer(client)) {
      std::fprintf(stderr, "wayland_client: cannot make a buffer\n");
      std::exit(1);
    }
  }
  paint(client, 0xFFFFFF);
  if (sized && !client.ready) {
    std::printf("ready %d %d\n", client.width, client.height);
    client.ready = true;
  }
}
constexpr xdg_surface_listener kSurfaceListener = {on_surface_configure};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto& client = *static_cast<Client*>(data);
  const auto bind = [&](const wl_interface& wanted, uint32_t highest) {
    return wl_registry_bind(registry, name, &wanted, std::min(version, highest));
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    client.compositor = static_cast<wl_compositor*>(bind(wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    client.shm = static_cast<wl_shm*>(bind(wl_shm_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    client.shell = static_cast<xdg_wm_base*>(bind(xdg_wm_base_interface, 1));
    xdg_wm_base_add_listener(client.shell, &kShellListener, &client);
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && client.seat == nullptr) {
    // Version 7 at most: wheel clicks then come as axis_discrete.
    client.seat = static_cast<wl_seat*>(bind(wl_seat_interface, 7));
    wl_seat_add_listener(client.seat, &kSeatListener, &client);
  }
}
void on_global_remove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {on_global, on_global_remove};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Client client;
  if (argc == 4 && std::strcmp(argv[1], "--window") == 0) {
    client.own_width = std::atoi(argv[2]);
    client.own_height = std::atoi(argv[3]);
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wayland_client: cannot connect to the Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &client);
  wl_display_roundtrip(display);
  if (client.compositor == nullptr || client.shm == nullptr || client.shell == nullptr ||
      client.seat == nullptr) {
    std::fprintf(stderr,
                 "wayland_client: the compositor lacks a compositor, shm, xdg-shell or "
                 "seat global\n");
    return 1;
  }
  client.surface = wl_compositor_create_surface(client.compositor);
  xdg_surface* surface = xdg_wm_base_get_xdg_surface(client.shell, client.surface);
  xdg_surface_add_listener(surface, &kSurfaceListener, &client);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(surface);
  xdg_toplevel_add_listener(toplevel, &kToplevelListener, &client);
  xdg_toplevel_set_title(toplevel, "Tapline desktop client");
  if (client.own_width <= 0) xdg_toplevel_set_fullscreen(toplevel, nullptr);
  wl_surface_commit(client.surface);
  while (wl_display_dispatch(display) >= 0) {
  }
  std::fprintf(stderr, "wayland_client: the compositor went away\n");
  return 1;
}
