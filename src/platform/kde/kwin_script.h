// Small scripts run inside KWin over its scripting D-Bus interface: the one way a program
// reaches KWin's windows and pointer on Wayland without a grant. Each script is loaded from
// a file, run, and answers over D-Bus to this connection's unique name; then it is unloaded.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/dbus/dbus.h"

namespace tapline::platform::kde {

// The D-Bus name KWin owns, on Wayland and X11 alike.
constexpr const char* kKWinName = "org.kde.KWin";

// The session bus when KWin is on it; nullptr with the reason otherwise.
dbus::Bus open_kwin_bus(std::string& why_not);

class KWinScript {
 public:
  // A connection of its own that serves the answers; nullptr with the reason when KWin is
  // not on the session bus.
  static std::unique_ptr<KWinScript> open(std::string& why_not);
  ~KWinScript();
  KWinScript(const KWinScript&) = delete;
  KWinScript& operator=(const KWinScript&) = delete;

  // Runs `body`, JavaScript of KWin's scripting API in which `answer(text)` sends one text
  // back; `kwin6` in it is true on KWin 6 (windowList, activeWindow), false on KWin 5
  // (clientList, activeClient). The text, or empty with the reason when KWin refuses the
  // script, the script fails, or nothing comes within 5 s (or a stop is requested).
  std::optional<std::string> run(const std::string& body, std::string& why_not);

 private:
  explicit KWinScript(dbus::Bus bus) : bus_(std::move(bus)) {}
  static int on_answer(sd_bus_message* message, void* self, sd_bus_error* error);
  // Starts the loaded script `id`: KWin 6 serves it at /Scripting/Script<id>, KWin 5 at
  // /<id>; the one that answered first is asked first from then on.
  bool start(int id, std::string& why_not);

  dbus::Bus bus_;
  dbus::Slot served_;
  std::string unique_name_;
  std::optional<std::string> answer_;
  std::string failure_;
  bool kwin5_paths_ = false;
  unsigned runs_ = 0;
};

}  // namespace tapline::platform::kde
