// Shows a BMP picture in a fullscreen window on a Wayland compositor, its top-left corner at
// the window's, until it is ended; what the picture does not cover is black. Prints
// "shown" once the compositor has drawn the first frame, so tests know when to look. With
// --scale N each picture pixel is N x N buffer pixels at buffer scale N, for an output of
// that scale: the output then shows the picture without resampling.
// Usage: tapline_wayland_picture [--scale N] PICTURE.bmp
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/xdg-shell-client-protocol.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/bmp.h"

namespace {

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* shell = nullptr;
  tapline::image::Bitmap picture;
  wl_surface* surface = nullptr;
  wl_buffer* buffer = nullptr;
  int width = 0, height = 0;  // the size the compositor asked for
  int scale = 1;
  bool configured = false;
  bool shown = false;
};

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  auto* c = static_cast<Client*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0)
    c->compositor =
        static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  else if (std::strcmp(interface, wl_shm_interface.name) == 0)
    c->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
    c->shell =
        static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
}
void on_global_remove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {on_global, on_global_remove};

void on_ping(void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }
const xdg_wm_base_listener kShell = {on_ping};

void on_toplevel_configure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto* c = static_cast<Client*>(data);
  if (width > 0 && height > 0) c->width = width, c->height = height;
}
void on_toplevel_close(void*, xdg_toplevel*) {}
const xdg_toplevel_listener kToplevel = [] {
  xdg_toplevel_listener listener{};  // newer events stay unset: version 1 is bound
  listener.configure = on_toplevel_configure;
  listener.close = on_toplevel_close;
  return listener;
}();

void on_surface_configure(void* data, xdg_surface* surface, uint32_t serial) {
  auto* c = static_cast<Client*>(data);
  xdg_surface_ack_configure(surface, serial);
  c->configured = true;
  // A compositor that leaves the size to us gets the picture's.
  if (c->width <= 0) c->width = c->picture.width, c->height = c->picture.height;
}
const xdg_surface_listener kSurface = {on_surface_configure};

void on_frame_done(void* data, wl_callback* callback, uint32_t) {
  auto* c = static_cast<Client*>(data);
  wl_callback_destroy(callback);
  if (!c->shown) std::printf("shown\n"), std::fflush(stdout);
  c->shown = true;
}
const wl_callback_listener kFrame = {on_frame_done};

// A buffer of the asked size with the picture in its top-left corner.
wl_buffer* draw(Client& c) {
  const int width = c.width * c.scale, height = c.height * c.scale;
  const int stride = width * 4;
  const size_t size = static_cast<size_t>(stride) * height;
  const int fd = memfd_create("picture", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* pixels = static_cast<uint32_t*>(memory);
  std::fill(pixels, pixels + size / 4, 0xFF000000u);
  const tapline::image::PixelView view = c.picture.view();
  for (int y = 0; y < std::min(view.height * c.scale, height); ++y)
    for (int x = 0; x < std::min(view.width * c.scale, width); ++x)
      pixels[static_cast<size_t>(y) * width + x] = view.row(y / c.scale)[x / c.scale] | 0xFF000000u;
  munmap(memory, size);
  wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<int32_t>(size));
  wl_buffer* buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  Client c;
  std::string error;
  if (argc == 4 && std::strcmp(argv[1], "--scale") == 0) {
    c.scale = std::max(1, std::atoi(argv[2]));
    argv += 2, argc -= 2;
  }
  if (argc != 2 || !tapline::image::read_bmp(argv[1], c.picture, error)) {
    std::fprintf(stderr, "usage: tapline_wayland_picture [--scale N] PICTURE.bmp (%s)\n",
                 error.c_str());
    return 2;
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return std::fprintf(stderr, "no Wayland display\n"), 1;
  wl_registry_add_listener(wl_display_get_registry(display), &kRegistry, &c);
  wl_display_roundtrip(display);
  if (!c.compositor || !c.shm || !c.shell) return std::fprintf(stderr, "no xdg-shell\n"), 1;
  xdg_wm_base_add_listener(c.shell, &kShell, &c);

  c.surface = wl_compositor_create_surface(c.compositor);
  xdg_surface* window = xdg_wm_base_get_xdg_surface(c.shell, c.surface);
  xdg_surface_add_listener(window, &kSurface, &c);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(window);
  xdg_toplevel_add_listener(toplevel, &kToplevel, &c);
  xdg_toplevel_set_fullscreen(toplevel, nullptr);
  wl_surface_commit(c.surface);

  int drawn_width = 0, drawn_height = 0;
  while (wl_display_dispatch(display) != -1) {
    if (!c.configured || (c.width == drawn_width && c.height == drawn_height)) continue;
    if (c.buffer) wl_buffer_destroy(c.buffer);
    c.buffer = draw(c);
    if (c.buffer == nullptr) return std::fprintf(stderr, "cannot make a buffer\n"), 1;
    drawn_width = c.width, drawn_height = c.height;
    wl_surface_set_buffer_scale(c.surface, c.scale);
    wl_surface_attach(c.surface, c.buffer, 0, 0);
    wl_surface_damage(c.surface, 0, 0, c.width, c.height);  // surface coordinates
    wl_callback_add_listener(wl_surface_frame(c.surface), &kFrame, &c);
    wl_surface_commit(c.surface);
  }
  return 0;
}
