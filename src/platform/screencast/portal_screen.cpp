#include "platform/screencast/portal_screen.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/dbus/dbus.h"
#include "platform/screencast/monitor_streams_screen.h"
#include "system/console.h"
#include "system/file_replace.h"
#include "system/stop_request.h"

namespace tapline::platform::screencast {
using namespace dbus;  // the bus helpers

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";

// Bit masks of the ScreenCast interface.
constexpr uint32_t kMonitorSource = 1;
constexpr uint32_t kCursorHidden = 1;
constexpr uint32_t kCursorEmbedded = 2;
constexpr uint32_t kCursorMetadata = 4;
// persist_mode: the grant lasts until the person revokes it.
constexpr uint32_t kPersistUntilRevoked = 2;
// The first interface version that knows persist_mode and restore tokens.
constexpr uint32_t kPersistVersion = 4;

// Plain requests are answered at once. The person's dialog comes with SelectSources or with
// Start, depending on the desktop: those two may wait for it, and say so.
constexpr std::chrono::milliseconds kRequestLimit{10'000};
constexpr std::chrono::milliseconds kDialogLimit{300'000};
constexpr std::chrono::milliseconds kQuietBeforeNotice{1000};
const char* const kDialogNotice =
    "waiting for the desktop's screen sharing dialog: choose the screens Tapline may see and "
    "allow it";

const char* const kNoPortal =
    "no desktop portal is running: install xdg-desktop-portal and the portal backend of your "
    "desktop (xdg-desktop-portal-kde on KDE Plasma, xdg-desktop-portal-wlr on wlroots desktops)";
const char* const kNoScreenCast =
    "the desktop portal offers no screen capture: install the portal backend of your desktop "
    "(xdg-desktop-portal-kde on KDE Plasma, xdg-desktop-portal-wlr on wlroots desktops)";

bool fail(std::string& why_not, std::string reason) {
  why_not = std::move(reason);
  return false;
}

// Walks a results or options dictionary (a{sv}): `on_entry(key)` reads the value of a key
// it wants and returns > 0, or returns 0 to have the value skipped; < 0 is an error.
template <typename OnEntry>
int read_dictionary(sd_bus_message* message, OnEntry on_entry) {
  int result = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (result < 0) return result;
  while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((result = sd_bus_message_read(message, "s", &key)) < 0) return result;
    if ((result = on_entry(key)) < 0) return result;
    if (result == 0 && (result = sd_bus_message_skip(message, "v")) < 0) return result;
    if ((result = sd_bus_message_exit_container(message)) < 0) return result;
  }
  if (result < 0) return result;
  return sd_bus_message_exit_container(message);
}

// One monitor stream the person granted, as Start describes it.
struct GrantedStream {
  uint32_t node = 0;
  image::Point position;  // in the desktop's layout; the size comes with the frames
};

int read_streams(sd_bus_message* message, std::vector<GrantedStream>& streams) {
  int result = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
  if (result < 0) return result;
  if ((result = sd_bus_message_enter_container(message, 'a', "(ua{sv})")) < 0) return result;
  while ((result = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    GrantedStream stream;
    if ((result = sd_bus_message_read(message, "u", &stream.node)) < 0) return result;
    result = read_dictionary(message, [&](const char* key) {
      if (std::strcmp(key, "position") != 0) return 0;
      return sd_bus_message_read(message, "v", "(ii)", &stream.position.x, &stream.position.y);
    });
    if (result < 0) return result;
    if ((result = sd_bus_message_exit_container(message)) < 0) return result;
    streams.push_back(stream);
  }
  if (result < 0) return result;
  if ((result = sd_bus_message_exit_container(message)) < 0) return result;
  return sd_bus_message_exit_container(message);
}

// Creates every missing folder of `path` (mode 0700: the token grants screen capture).
bool make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// The kept token; empty when there is none or the file holds something no portal gave
// (which the bus would refuse to carry, failing the request).
std::string read_restore_token(const std::string& path) {
  std::ifstream file(path);
  std::string token;
  std::getline(file, token);
  const bool printable =
      std::all_of(token.begin(), token.end(), [](unsigned char c) { return c > ' ' && c < 0x7F; });
  return printable ? token : std::string();
}

}  // namespace

void keep_restore_token(const std::string& path, const std::string& token) {
  std::string error;
  const std::string folder = path.substr(0, path.rfind('/'));
  if (!make_folders(folder)) {
    error = std::strerror(errno);
  } else {
    const std::vector<uint8_t> bytes(token.begin(), token.end());
    if (system::write_file_replacing(path.c_str(), bytes, error, system::Readers::owner_only))
      return;
  }
  system::console_diagnostic(
      "the screen sharing permission could not be kept in %s (%s): the next run asks again\n",
      path.c_str(), error.c_str());
}

namespace {

// The session bus conversation with the portal, from CreateSession to the PipeWire remote.
class Handshake {
 public:
  explicit Handshake(Bus bus) : bus_(std::move(bus)) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_.get(), &unique) >= 0) {
      sender_ = unique + (unique[0] == ':' ? 1 : 0);
      std::replace(sender_.begin(), sender_.end(), '.', '_');
    }
  }

  // From CreateSession to the granted streams.
  bool run(std::string& why_not);
  // A new connection to the PipeWire daemon that shows the granted streams (one for each
  // stream: a connection is one protocol conversation); -1 when the portal gives none.
  int open_pipewire_remote(std::string& why_not);

  Bus take_bus() { return std::move(bus_); }
  const std::vector<GrantedStream>& streams() const { return streams_; }

 private:
  bool read_property(const char* name, uint32_t& value, std::string& why_not);
  // A ScreenCast method call with its options dictionary opened: after the session once
  // there is one, and after the parent window (none) where the method takes one.
  Message new_request(const char* method, bool parent_window = false);
  // Sends `call` with a handle token added to its options and waits for the Response of
  // the Request object the token names: its results dictionary is next to read.
  Message request(Message call, std::chrono::milliseconds limit, const char* notice,
                  std::string& why_not);
  bool create_session(std::string& why_not);
  bool select_sources(uint32_t version, uint32_t cursor_modes, std::string& why_not);
  bool start(std::string& why_not);

  Bus bus_;
  std::string sender_;
  int next_token_ = 0;
  std::string session_;
  std::string token_path_ = portal_restore_token_path();
  bool persisting_ = false;
  std::vector<GrantedStream> streams_;
};

bool Handshake::run(std::string& why_not) {
  uint32_t version = 0, source_types = 0, cursor_modes = 0;
  if (!read_property("version", version, why_not) ||
      !read_property("AvailableSourceTypes", source_types, why_not))
    return false;
  if ((source_types & kMonitorSource) == 0)
    return fail(why_not,
                "the desktop portal offers no monitor capture: install the portal backend of "
                "your desktop");
  // Older portals lack the cursor mode list; the cursor then stays as the portal shows it.
  std::string no_cursor_modes;
  if (!read_property("AvailableCursorModes", cursor_modes, no_cursor_modes)) cursor_modes = 0;
  return create_session(why_not) && select_sources(version, cursor_modes, why_not) &&
         start(why_not);
}

bool Handshake::read_property(const char* name, uint32_t& value, std::string& why_not) {
  Message get = new_method_call(bus_.get(), kPortalService, kPortalPath,
                                "org.freedesktop.DBus.Properties", "Get");
  if (!get || sd_bus_message_append(get.get(), "ss", kScreenCast, name) < 0)
    return fail(why_not, "the desktop portal's properties could not be asked for");
  std::string error_name, error_text;
  const Message reply = dbus::call(bus_.get(), get.get(), error_text, &error_name);
  if (reply && sd_bus_message_read(reply.get(), "v", "u", &value) >= 0) return true;
  if (error_name == SD_BUS_ERROR_SERVICE_UNKNOWN || error_name == SD_BUS_ERROR_NAME_HAS_NO_OWNER)
    why_not = kNoPortal;
  else if (error_name == SD_BUS_ERROR_UNKNOWN_INTERFACE ||
           error_name == SD_BUS_ERROR_UNKNOWN_PROPERTY || error_name == SD_BUS_ERROR_UNKNOWN_OBJECT)
    why_not = kNoScreenCast;
  else
    why_not = "the desktop portal did not answer: " + error_text;
  return false;
}

Message Handshake::new_request(const char* method, bool parent_window) {
  Message call = new_method_call(bus_.get(), kPortalService, kPortalPath, kScreenCast, method);
  if (!call) return nullptr;
  if (!session_.empty() && sd_bus_message_append(call.get(), "o", session_.c_str()) < 0)
    return nullptr;
  if (parent_window && sd_bus_message_append(call.get(), "s", "") < 0) return nullptr;
  if (sd_bus_message_open_container(call.get(), 'a', "{sv}") < 0) return nullptr;
  return call;
}

Message Handshake::request(Message call, std::chrono::milliseconds limit, const char* notice,
                           std::string& why_not) {
  const std::string method = sd_bus_message_get_member(call.get());
  const std::string token =
      "tapline" + std::to_string(::getpid()) + "_" + std::to_string(++next_token_);
  const std::string path = std::string(kPortalPath) + "/request/" + sender_ + "/" + token;
  SignalWait response(bus_.get(), nullptr, path.c_str(), kRequest, "Response");
  if (sd_bus_message_append(call.get(), "{sv}", "handle_token", "s", token.c_str()) < 0 ||
      sd_bus_message_close_container(call.get()) < 0) {
    why_not = "the " + method + " request to the desktop portal could not be made";
    return nullptr;
  }
  if (!dbus::call(bus_.get(), call.get(), why_not)) {
    why_not = "the desktop portal refused " + why_not;
    return nullptr;
  }
  // The person may have a dialog to answer: after a quiet moment, say so.
  Message answer = response.wait(notice != nullptr ? kQuietBeforeNotice : limit, why_not);
  if (!answer && notice != nullptr && sd_bus_is_open(bus_.get()) > 0 && !system::stop_requested()) {
    system::console_diagnostic("%s\n", notice);
    answer = response.wait(limit - kQuietBeforeNotice, why_not);
  }
  if (!answer) {
    why_not = system::stop_requested()
                  ? "stopped while waiting for the desktop portal"
                  : "the desktop portal did not answer " + method + ": " + why_not;
    return nullptr;
  }
  uint32_t code = 2;  // 0 granted, 1 cancelled by the person, 2 otherwise ended
  if (sd_bus_message_read(answer.get(), "u", &code) < 0) code = 2;
  if (code == 0) return answer;
  why_not = code == 1
                ? "screen sharing was declined in the desktop's dialog: run again and allow it"
                : "the desktop portal ended " + method + " without a result";
  return nullptr;
}

bool Handshake::create_session(std::string& why_not) {
  Message call = new_request("CreateSession");
  const std::string session_token = "tapline" + std::to_string(::getpid());
  if (!call || sd_bus_message_append(call.get(), "{sv}", "session_handle_token", "s",
                                     session_token.c_str()) < 0)
    return fail(why_not, "the CreateSession request to the desktop portal could not be made");
  const Message results = request(std::move(call), kRequestLimit, nullptr, why_not);
  if (!results) return false;
  const int result = read_dictionary(results.get(), [&](const char* key) {
    if (std::strcmp(key, "session_handle") != 0) return 0;
    // A string in the documented interface; some portals send an object path.
    const char* type = nullptr;
    const char* handle = nullptr;
    int read = sd_bus_message_peek_type(results.get(), nullptr, &type);
    if (read >= 0) read = sd_bus_message_read(results.get(), "v", type ? type : "s", &handle);
    if (read >= 0 && handle != nullptr) session_ = handle;
    return read;
  });
  if (result < 0 || session_.empty())
    return fail(why_not, "the desktop portal gave no screen cast session");
  return true;
}

bool Handshake::select_sources(uint32_t version, uint32_t cursor_modes, std::string& why_not) {
  Message call = new_request("SelectSources");
  int result = call ? sd_bus_message_append(call.get(), "{sv}{sv}", "types", "u", kMonitorSource,
                                            "multiple", "b", 1)
                    : -ENOMEM;
  // The cursor's position comes as metadata where the portal can send it; otherwise the
  // cursor is left out of the picture, which then matches what other screen sources show.
  uint32_t cursor_mode = 0;
  for (const uint32_t mode : {kCursorMetadata, kCursorHidden, kCursorEmbedded}) {
    if (cursor_mode == 0 && (cursor_modes & mode) != 0) cursor_mode = mode;
  }
  if (result >= 0 && cursor_mode != 0)
    result = sd_bus_message_append(call.get(), "{sv}", "cursor_mode", "u", cursor_mode);
  persisting_ = version >= kPersistVersion && !token_path_.empty();
  if (result >= 0 && persisting_) {
    result = sd_bus_message_append(call.get(), "{sv}", "persist_mode", "u", kPersistUntilRevoked);
    const std::string token = read_restore_token(token_path_);
    if (result >= 0 && !token.empty())
      result = sd_bus_message_append(call.get(), "{sv}", "restore_token", "s", token.c_str());
  }
  if (result < 0)
    return fail(why_not, "the SelectSources request to the desktop portal could not be made");
  return request(std::move(call), kDialogLimit, kDialogNotice, why_not) != nullptr;
}

bool Handshake::start(std::string& why_not) {
  Message call = new_request("Start", true);
  if (!call) return fail(why_not, "the Start request to the desktop portal could not be made");
  const Message results = request(std::move(call), kDialogLimit, kDialogNotice, why_not);
  if (!results) return false;
  std::string new_token;
  const int result = read_dictionary(results.get(), [&](const char* key) {
    if (std::strcmp(key, "streams") == 0) return read_streams(results.get(), streams_);
    if (std::strcmp(key, "restore_token") != 0) return 0;
    const char* token = nullptr;
    const int read = sd_bus_message_read(results.get(), "v", "s", &token);
    if (read >= 0 && token != nullptr) new_token = token;
    return read;
  });
  if (result < 0)
    return fail(why_not, "the desktop portal's answer to Start could not be read (" +
                             bus_error_text(nullptr, result) + ")");
  if (streams_.empty()) return fail(why_not, "no screen was chosen in the desktop's dialog");
  // A token is good for one start: the one Start gives replaces it.
  if (persisting_ && !new_token.empty()) keep_restore_token(token_path_, new_token);
  return true;
}

int Handshake::open_pipewire_remote(std::string& why_not) {
  Message call =
      new_method_call(bus_.get(), kPortalService, kPortalPath, kScreenCast, "OpenPipeWireRemote");
  if (!call || sd_bus_message_append(call.get(), "oa{sv}", session_.c_str(), 0) < 0) {
    why_not = "the OpenPipeWireRemote request to the desktop portal could not be made";
    return -1;
  }
  const Message reply = dbus::call(bus_.get(), call.get(), why_not);
  int fd = -1;
  if (reply && sd_bus_message_read(reply.get(), "h", &fd) > 0) {
    // The descriptor belongs to the reply; ours is a copy.
    fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) return fd;
  }
  why_not = "the desktop portal gave no PipeWire connection" +
            (why_not.empty() ? std::string() : ": " + why_not);
  return -1;
}

// The granted monitors as one screen, for as long as the session lasts.
class PortalScreen final : public MonitorStreamsScreen {
 public:
  PortalScreen(Bus bus, std::vector<Monitor> monitors)
      : MonitorStreamsScreen(std::move(monitors), "the desktop portal's screen cast"),
        bus_(std::move(bus)) {}
  ~PortalScreen() override { end_streams(); }  // before the session they show

 private:
  Bus bus_;  // the portal ends the session when this connection goes
};

}  // namespace

std::string portal_restore_token_path() {
  std::string state;
  if (const char* xdg_state = std::getenv("XDG_STATE_HOME"); xdg_state && *xdg_state == '/') {
    state = xdg_state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home != '/') {
      const passwd* user = ::getpwuid(::getuid());
      home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || *home != '/') return {};
    state = std::string(home) + "/.local/state";
  }
  return state + "/tapline/screencast-restore-token";
}

}  // namespace tapline::platform::screencast

namespace tapline::platform {

std::unique_ptr<ScreenSource> open_portal_screen(std::string& why_not) {
  using namespace screencast;
  Bus bus = open_session_bus(why_not);
  if (!bus) {
    why_not += ": run Tapline inside the desktop session, where DBUS_SESSION_BUS_ADDRESS is set";
    return nullptr;
  }
  Handshake handshake{std::move(bus)};
  if (!handshake.run(why_not)) return nullptr;
  std::vector<PortalScreen::Monitor> monitors;
  for (const GrantedStream& granted : handshake.streams()) {
    const int fd = handshake.open_pipewire_remote(why_not);
    if (fd < 0) return nullptr;
    auto stream = PipeWireStream::open(fd, granted.node, why_not);
    if (!stream) return nullptr;
    monitors.push_back({std::move(stream), granted.position, std::to_string(monitors.size() + 1)});
  }
  return std::make_unique<PortalScreen>(handshake.take_bus(), std::move(monitors));
}

}  // namespace tapline::platform
