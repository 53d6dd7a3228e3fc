// Test-only: preloaded into xdg-desktop-portal-wlr when the portal tests run it on a headless
// sway that renders without a GPU.
//
// Why: xdg-desktop-portal-wlr 0.7 refuses to start a screen cast when the compositor offers
// screencopy version 3 but never sends a frame's linux_dmabuf event ("unable to receive a
// valid format from wlr_screencopy"), although it would go on to use shared-memory buffers,
// the only kind a software-rendering compositor (no zwp_linux_dmabuf_v1) can take.
//
// What: every zwlr_screencopy_frame_v1 listener it installs is wrapped so that the frame's
// shared-memory buffer event is followed by a linux_dmabuf event of the same format and
// size. Nothing else changes; the buffers stay shared memory.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
#include <wayland-client-core.h>
#include <wayland/wlr-screencopy-unstable-v1-client-protocol.h>

typedef int (*add_listener_function)(struct wl_proxy*, void (**)(void), void*);

// The portal installs one listener for all its frames, so one wrapped copy will do.
static const struct zwlr_screencopy_frame_v1_listener* original;
static struct zwlr_screencopy_frame_v1_listener wrapped;

// wl_shm names its two basic formats 0 and 1; every other code is the DRM fourcc already.
static uint32_t drm_format_of(uint32_t shm_format) {
  if (shm_format == WL_SHM_FORMAT_ARGB8888) return 0x34325241;  // 'AR24'
  if (shm_format == WL_SHM_FORMAT_XRGB8888) return 0x34325258;  // 'XR24'
  return shm_format;
}

static void buffer_then_format(void* data, struct zwlr_screencopy_frame_v1* frame, uint32_t format,
                               uint32_t width, uint32_t height, uint32_t stride) {
  original->buffer(data, frame, format, width, height, stride);
  if (original->linux_dmabuf != NULL)
    original->linux_dmabuf(data, frame, drm_format_of(format), width, height);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static add_listener_function next;
  if (next == NULL) next = (add_listener_function)dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
    original = (const struct zwlr_screencopy_frame_v1_listener*)implementation;
    wrapped = *original;
    wrapped.buffer = buffer_then_format;
    implementation = (void (**)(void)) & wrapped;
  }
  return next(proxy, implementation, data);
}
