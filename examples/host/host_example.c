/* A host program driving the device through libtapline without the script host.
 *
 *   host_example [ADDRESS PORT]   send over UDP (default 127.0.0.1 9000)
 *   host_example --usb            open the USB device instead
 *
 * Texts the library posts for the host arrive on its delivery thread; trigger-pin events
 * of a USB device arrive on this thread when it calls run_pending_calls(). */
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tapline.h>
#include <unistd.h>

static void on_host_text(unsigned int message, uintptr_t wparam, char* text) {
  (void)wparam;
  fprintf(stderr, "host message %u: %s", message, text);
  free(text); /* the text belongs to the receiver */
}

static void on_pin_trigger(int pin_mask, int status_word) {
  printf("pins 0x%03x status 0x%04x\n", pin_mask, status_word);
}

int main(int argc, char** argv) {
  const int use_usb = argc > 1 && strcmp(argv[1], "--usb") == 0;
  printf("interface version %d\n", dll_version());
  set_apphandle(on_host_text);

  if (use_usb) {
    if (open_hiddev_default() < 0) {
      fprintf(stderr, "host_example: no device found\n");
      return 1;
    }
    set_pintrig_cb(on_pin_trigger);
  } else {
    const char* address = argc > 2 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? atoi(argv[2]) : 9000;
    netcfg(address, port);
  }

  set_channel(0);
  touch_set(1080, 2408);

  key_action("a", 2); /* press and release a */
  key_string("Hi!");  /* types text key by key */
  left_click();
  wheel(2);
  consumer(0xE9); /* volume up */
  touch_click(540, 1204);
  quill5_cmd("key:press,Enter");
  quill5_cmd("mouse:move,10,-5");
  quill5_cmd("touch:click,100,200");

  /* A host's event loop would call this on every turn. */
  for (int turn = 0; turn < 5; ++turn) {
    run_pending_calls();
    usleep(10000);
  }
  if (use_usb) close_hiddev();
  set_apphandle(NULL);
  printf("done\n");
  return 0;
}
