#include "platform/kde/kwin_script.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "system/stop_request.h"

namespace tapline::platform::kde {
namespace {

using dbus::Bus;
using dbus::Message;

constexpr const char* kScriptingPath = "/Scripting";
constexpr const char* kScriptingInterface = "org.kde.kwin.Scripting";
constexpr const char* kScriptInterface = "org.kde.kwin.Script";
constexpr const char* kAnswerPath = "/org/tapline/KWinScript";
constexpr const char* kAnswerInterface = "org.tapline.KWinScript";
constexpr std::chrono::milliseconds kAnswerBound{5000};

// A file of its own for each script, which KWin reads itself; removed when it goes.
class ScriptFile {
 public:
  bool write(const std::string& text, std::string& why_not) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    path_ = std::string(runtime && *runtime ? runtime : "/tmp") + "/tapline-kwin-XXXXXX.js";
    const int fd = mkstemps(path_.data(), 3);
    if (fd < 0) {
      why_not = "cannot write a script for KWin in " + path_;
      path_.clear();
      return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) why_not = "cannot write a script for KWin in " + path_;
    return written;
  }
  const std::string& path() const { return path_; }
  ~ScriptFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }

 private:
  std::string path_;
};

}  // namespace

Bus open_kwin_bus(std::string& why_not) {
  Bus bus = dbus::open_session_bus(why_not);
  if (bus && !dbus::name_has_owner(bus.get(), kKWinName)) {
    why_not = std::string(kKWinName) +
              " is not on the session bus (KWin, KDE Plasma's "
              "compositor, owns it)";
    return nullptr;
  }
  return bus;
}

std::unique_ptr<KWinScript> KWinScript::open(std::string& why_not) {
  Bus bus = open_kwin_bus(why_not);
  if (!bus) return nullptr;
  std::unique_ptr<KWinScript> script(new KWinScript(std::move(bus)));
  const char* unique = nullptr;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_get_unique_name(script->bus_.get(), &unique) < 0 ||
      sd_bus_add_object(script->bus_.get(), &slot, kAnswerPath, on_answer, script.get()) < 0) {
    why_not = "cannot serve KWin's answers on the session bus";
    return nullptr;
  }
  script->served_.reset(slot);
  script->unique_name_ = unique;
  return script;
}

KWinScript::~KWinScript() = default;

int KWinScript::on_answer(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* script = static_cast<KWinScript*>(self);
  const char* member = sd_bus_message_get_member(message);
  const char* text = nullptr;
  if (!sd_bus_message_is_method_call(message, kAnswerInterface, nullptr) || member == nullptr ||
      sd_bus_message_read(message, "s", &text) < 0)
    return 0;  // not ours: sd-bus answers that nothing is here
  if (std::string(member) == "Answer")
    script->answer_ = text;
  else
    script->failure_ = std::string("the script failed in KWin: ") + text;
  return sd_bus_reply_method_return(message, "");
}

bool KWinScript::start(int id, std::string& why_not) {
  const std::string paths[2] = {"/Scripting/Script" + std::to_string(id), "/" + std::to_string(id)};
  for (int i = 0; i < 2; ++i) {
    const std::string& path = paths[(i + kwin5_paths_) % 2];
    Message run =
        dbus::new_method_call(bus_.get(), kKWinName, path.c_str(), kScriptInterface, "run");
    std::string failed;
    if (run && dbus::call(bus_.get(), run.get(), failed)) {
      kwin5_paths_ = path == paths[1];
      return true;
    }
    why_not = "KWin did not start the script: " + failed;
  }
  return false;
}

std::optional<std::string> KWinScript::run(const std::string& body, std::string& why_not) {
  const std::string call =
      "callDBus(\"" + unique_name_ + "\", \"" + kAnswerPath + "\", \"" + kAnswerInterface + "\", ";
  const std::string text =
      "const kwin6 = typeof workspace.windowList === \"function\";\n"
      "function answer(text) { " +
      call + "\"Answer\", String(text)); }\ntry {\n" + body + "\n} catch (error) { " + call +
      "\"Failed\", String(error)); }\n";
  ScriptFile file;
  if (!file.write(text, why_not)) return std::nullopt;
  const std::string plugin = "tapline-" + std::to_string(getpid()) + "-" + std::to_string(++runs_);

  sd_bus* bus = bus_.get();
  Message load =
      dbus::new_method_call(bus, kKWinName, kScriptingPath, kScriptingInterface, "loadScript");
  if (!load || sd_bus_message_append(load.get(), "ss", file.path().c_str(), plugin.c_str()) < 0) {
    why_not = "cannot build a D-Bus call";
    return std::nullopt;
  }
  Message loaded = dbus::call(bus, load.get(), why_not);
  int id = -1;
  if (!loaded) return std::nullopt;
  if (sd_bus_message_read(loaded.get(), "i", &id) < 0 || id < 0) {
    why_not = "KWin did not load the script";
    return std::nullopt;
  }
  answer_.reset();
  failure_.clear();
  if (start(id, why_not)) {
    const auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
    while (!answer_ && failure_.empty()) {
      const int processed = sd_bus_process(bus, nullptr);
      if (processed < 0) {
        why_not = "the session bus failed while waiting for KWin";
        break;
      }
      if (processed > 0) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        why_not = "KWin's script gave no answer within 5 s";
        break;
      }
      pollfd waits[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                         {system::stop_wake_fd(), POLLIN, 0}};
      poll(waits, waits[1].fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
      if (waits[1].fd >= 0 && (waits[1].revents & POLLIN) != 0) {
        why_not = "stopped while waiting for KWin";
        break;
      }
    }
    if (!failure_.empty()) why_not = failure_;
  }
  std::string ignored;
  if (Message unload = dbus::new_method_call(bus, kKWinName, kScriptingPath, kScriptingInterface,
                                             "unloadScript");
      unload && sd_bus_message_append(unload.get(), "s", plugin.c_str()) >= 0)
    dbus::call(bus, unload.get(), ignored);
  return answer_;
}

}  // namespace tapline::platform::kde
