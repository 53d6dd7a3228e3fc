/* Uses libtapline.so only through its installed header, as a C host would. */
#define _DEFAULT_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <tapline.h>
#include <unistd.h>

static int failures = 0;
#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

/* Frames captured by our own SendCallback. */
static uint8_t captured[64][32];
static int captured_length[64];
static int captured_count = 0;

static void capture(const uint8_t* frame, int length) {
  if (captured_count < 64) {
    memcpy(captured[captured_count], frame, (size_t)(length & 0xFF));
    captured_length[captured_count++] = length & 0xFF;
  }
}

/* The host "window": records the last text it was given and releases it. */
static char last_text[256];
static int texts_received = 0;
static void host_window(unsigned int message, uintptr_t wparam, char* text) {
  if (message == TAPLINE_HOST_MESSAGE && wparam == 0) {
    snprintf(last_text, sizeof last_text, "%s", text);
    ++texts_received;
  }
  free(text);
}

static void check_without_transport(void) {
  CHECK(dll_version() == 100);
  test(); /* standard input is not a terminal: the box does not wait */
  set_send_cb(NULL);
  CHECK(kb_release() == 0);
  CHECK(left_click() == 0);
  CHECK(consumer(0xE9) == 0);
  CHECK(touch_click(10, 10) == 0);
  CHECK(joy(1, 2, 3, 4, 5) == 0);
}

static void check_host_window(void) {
  CHECK(set_apphandle(host_window) == 0);
  CHECK(set_channel(1) == 1);
  for (int i = 0; i < 200 && texts_received == 0; ++i) usleep(10000);
  CHECK(texts_received == 1);
  CHECK(strcmp(last_text, "set_channel：ble\n") == 0);
  set_apphandle(NULL);
}

static void check_custom_send_callback(void) {
  captured_count = 0;
  CHECK(set_send_cb(capture) == capture);
  set_channel(1);
  CHECK(joy(0x1234, 9, 9, 9, 9) == 1);
  /* The buttons, then the all-zero report. */
  CHECK(captured_count == 2);
  CHECK(captured_length[0] == 11);
  CHECK(captured[1][4] == 0 && captured[1][5] == 0);
  CHECK(captured[0][0] == 0x2C && captured[0][1] == 7 && captured[0][3] == 0x44);
  CHECK(captured[0][4] == 0x34 && captured[0][5] == 0x12);

  captured_count = 0;
  touch_set(1080, 2408);
  touch_slide(100, 100, 100, 300, 1);
  /* y = 100, 150, 200, 250, then the lift. */
  CHECK(captured_count == 5);
  for (int i = 0; i < captured_count; ++i) CHECK((captured[i][3] & 0x1F) == TAPLINE_REPORT_TOUCH);
  set_send_cb(NULL);
}

static void check_udp(void) {
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(receiver, (struct sockaddr*)&address, sizeof address);
  socklen_t length = sizeof address;
  getsockname(receiver, (struct sockaddr*)&address, &length);
  struct timeval timeout = {2, 0};
  setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  CHECK(netcfg("127.0.0.1", ntohs(address.sin_port)) != 0);
  CHECK(key_hid(0x04) == 1);
  uint8_t datagram[64];
  const uint8_t pressed[12] = {0x2C, 8, 0x45, 0x41, 0, 0, 0x04, 0, 0, 0, 0, 0};
  const uint8_t released[12] = {0x2C, 8, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
  CHECK(recv(receiver, datagram, sizeof datagram, 0) == 12 && memcmp(datagram, pressed, 12) == 0);
  CHECK(recv(receiver, datagram, sizeof datagram, 0) == 12 && memcmp(datagram, released, 12) == 0);
  CHECK(udp_send("127.0.0.1", ntohs(address.sin_port), (const uint8_t*)"abc", 3) == 0);
  CHECK(recv(receiver, datagram, sizeof datagram, 0) == 3 && memcmp(datagram, "abc", 3) == 0);
  close(receiver);
  set_send_cb(NULL);
}

int main(void) {
  check_without_transport();
  check_host_window();
  check_custom_send_callback();
  check_udp();
  if (failures == 0) printf("api_test: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
