// A connection to a Wayland compositor: its globals and its outputs' layout. Each user
// (the screen, the clipboard, the software device's injector) opens its own, so that each
// can dispatch on the thread it chooses; a connection is used by one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct wl_display;
struct wl_interface;
struct wl_output;
struct wl_registry;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace tapline::platform::wayland {

// One output as it lies in the compositor's layout. The logical rectangle is in layout
// coordinates (where pointer positions and other outputs lie); the mode is the size of
// the output's pixels, which differs from the logical size when the output is scaled or
// turned.
struct OutputPlace {
  std::string name;  // "HEADLESS-1", "DP-2"
  int x = 0, y = 0, width = 0, height = 0;
  int mode_width = 0, mode_height = 0;
  int refresh_mhz = 0;
  int transform = 0;  // a wl_output_transform
  int scale = 1;
};

// What the compositor says of one output through wl_output and xdg-output, gathered until
// its done event: only then is it whole, as the scale may come after the mode it divides.
class OutputDescription {
 public:
  void geometry(int x, int y, int transform);
  // The current mode; other modes say nothing of the output's place.
  void mode(int width, int height, int refresh_mhz);
  void scale(int factor) { pending_.scale = factor; }
  // wl_output's name; xdg-output's, where there is one, takes its place.
  void name(const char* text);
  void xdg_name(const char* text) { pending_.name = text; }
  void logical_position(int x, int y);
  void logical_size(int width, int height);

  // The place as described by the events so far, at the compositor's done; false while
  // the output has no mode yet. The logical size that xdg-output has not given follows
  // from the mode turned as the output is (a quarter turn swaps width and height),
  // divided by the scale.
  bool done(OutputPlace& place) const;

 private:
  OutputPlace pending_;
  bool logical_position_ = false;  // xdg-output's position, not wl_output's
  bool logical_size_ = false;
};

class Connection {
 public:
  struct Output {
    Connection* owner = nullptr;
    wl_output* output = nullptr;
    uint32_t global = 0;
    zxdg_output_v1* xdg_output = nullptr;
    OutputPlace place;  // as last completed by the compositor
    OutputDescription description;
    bool described = false;
  };
  // Why there is no connection.
  struct Failure {
    enum Kind { unreachable, silent, broken, stopped } kind = unreachable;
    int error = 0;  // the errno of a connect that failed
  };

  // Connects to the compositor named by WAYLAND_DISPLAY ("wayland-0" when unset) and learns
  // its globals and its outputs. nullptr, with the reason in `failure`, when none answers.
  static std::unique_ptr<Connection> open(Failure& failure);
  // As above, with the reason in words.
  static std::unique_ptr<Connection> open(std::string& why_not);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  wl_display* display() const { return display_; }
  // The socket as WAYLAND_DISPLAY names it.
  const std::string& name() const { return name_; }

  // The version of the advertised global `interface`; 0 when the compositor has none.
  uint32_t version_of(const wl_interface& interface) const;
  // Binds the advertised global at the lower of `version` and the compositor's; nullptr
  // when there is none.
  void* bind(const wl_interface& interface, uint32_t version);

  // The outputs that have been described completely, in the order they appeared.
  std::vector<const Output*> outputs() const;
  // Called from event dispatch when an output appears, changes or goes (before it goes,
  // with `leaving` set: a wl_output that is about to be destroyed).
  void on_outputs_changed(std::function<void(const Output* leaving)> listener) {
    listener_ = std::move(listener);
  }

  // Sends what is queued and waits until the compositor has answered everything before
  // it, its events dispatched. A compositor answers at once even when busy: one silent for
  // system::kPeerAnswerTimeout has hung, and is waited for no longer; a stop request ends
  // the wait at once.
  enum class Answer { given, silent, broken, stopped };
  Answer roundtrip();

 private:
  Connection() = default;
  struct Global {
    uint32_t name;
    std::string interface;
    uint32_t version;
  };
  static void on_global(void* data, wl_registry*, uint32_t name, const char* interface,
                        uint32_t version);
  static void on_global_remove(void* data, wl_registry*, uint32_t name);
  void add_output(uint32_t global, uint32_t version);
  void watch_logical_place(Output& output);
  void output_done(Output& output);
  friend struct OutputEvents;

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  zxdg_output_manager_v1* xdg_outputs_ = nullptr;
  std::string name_;
  std::vector<Global> globals_;
  std::vector<std::unique_ptr<Output>> outputs_;
  std::function<void(const Output*)> listener_;
};

// The smallest rectangle holding every output: the screen.
struct LayoutBox {
  int x = 0, y = 0, width = 0, height = 0;
};
LayoutBox bounding_box(const std::vector<OutputPlace>& places);

}  // namespace tapline::platform::wayland
