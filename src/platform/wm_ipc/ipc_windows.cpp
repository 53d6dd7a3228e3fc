// Windows through the IPC socket of sway (and of i3, whose protocol sway speaks): the
// layout tree gives every window's title and rectangle, Wayland and Xwayland windows
// alike, and a command places one. Only floating windows can be placed, so moving a
// window makes it floating first; positions are those of the outer frame, title bar
// included, in the coordinates of the whole output layout.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/top_level_windows.h"
#include "platform/wm_ipc/json.h"
#include "system/bounded_wait.h"
#include "system/console.h"
#include "system/stop_request.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kRunCommand = 0;
constexpr uint32_t kGetTree = 4;
// A reply larger than this is no window tree.
constexpr uint32_t kMaxReply = 64u << 20;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole exchange of a request shares one deadline (system::kPeerAnswerTimeout): a
// window manager that does not answer in that time is taken as gone, not waited for; a
// stop request ends the wait at once.
bool write_all(int fd, const char* data, size_t size, system::Deadline deadline) {
  while (size > 0) {
    pollfd room{fd, POLLOUT, 0};
    if (system::wait_ready({&room, 1}, deadline) != system::WaitEnd::ready) return false;
    const ssize_t written = send(fd, data, size, MSG_NOSIGNAL);
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool read_all(int fd, char* data, size_t size, system::Deadline deadline) {
  while (size > 0) {
    pollfd answer{fd, POLLIN, 0};
    if (system::wait_ready({&answer, 1}, deadline) != system::WaitEnd::ready) return false;
    const ssize_t got = read(fd, data, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// One request and its reply, over a connection of its own. Empty (said on standard error)
// when the socket cannot be reached or answers nonsense.
std::optional<JsonValue> ipc_request(const std::string& socket_path, uint32_t type,
                                     const std::string& payload) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) {
    system::console_diagnostic("the window manager's IPC socket path is too long: %s\n",
                               socket_path.c_str());
    return std::nullopt;
  }
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  // Non-blocking: a window manager whose backlog is full refuses the connection at once.
  Descriptor connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (connection.get() < 0 ||
      connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    system::console_diagnostic("cannot reach the window manager's IPC socket %s: %s\n",
                               socket_path.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  // The header: the magic string, then the payload's length and the message type, both in
  // the host's byte order.
  std::string message(kMagic, sizeof kMagic);
  const uint32_t header[2] = {static_cast<uint32_t>(payload.size()), type};
  message.append(reinterpret_cast<const char*>(header), sizeof header);
  message += payload;
  char reply_header[sizeof kMagic + sizeof header];
  uint32_t reply_fields[2] = {};
  const system::Deadline deadline = system::deadline_after(system::kPeerAnswerTimeout);
  if (write_all(connection.get(), message.data(), message.size(), deadline) &&
      read_all(connection.get(), reply_header, sizeof reply_header, deadline) &&
      std::memcmp(reply_header, kMagic, sizeof kMagic) == 0) {
    std::memcpy(reply_fields, reply_header + sizeof kMagic, sizeof reply_fields);
    if (reply_fields[1] == type && reply_fields[0] <= kMaxReply) {
      std::string reply(reply_fields[0], '\0');
      if (read_all(connection.get(), reply.data(), reply.size(), deadline)) {
        if (auto value = parse_json(reply)) return value;
      }
    }
  }
  if (!system::stop_requested())
    system::console_diagnostic("the window manager's IPC socket %s gave no usable answer\n",
                               socket_path.c_str());
  return std::nullopt;
}

// A window of the tree: a container that shows an application's surface (an X11 window,
// or in sway a Wayland one of some shell), its title as name.
bool is_window(const JsonValue& node) {
  const JsonValue* name = node.member("name");
  const JsonValue* window = node.member("window");
  const JsonValue* shell = node.member("shell");
  return name != nullptr && name->string() != nullptr &&
         ((window != nullptr && window->number() != nullptr) ||
          (shell != nullptr && shell->string() != nullptr));
}

uint64_t node_id(const JsonValue& node) {
  const JsonValue* id = node.member("id");
  const double* number = id ? id->number() : nullptr;
  return number != nullptr && *number > 0 && *number < 18446744073709551616.0
             ? static_cast<uint64_t>(*number)
             : 0;
}

// The first window, depth first (tiled before floating within each container), whose
// title is `wanted`, or any title when `wanted` is empty.
const JsonValue* find_node(const JsonValue& node, const std::string* wanted) {
  if (is_window(node)) {
    const std::string& name = *node.member("name")->string();
    if (wanted != nullptr ? name == *wanted : !name.empty()) return &node;
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    const JsonValue* list = node.member(children);
    if (list == nullptr || list->array() == nullptr) continue;
    for (const JsonValue& child : *list->array())
      if (const JsonValue* found = find_node(child, wanted)) return found;
  }
  return nullptr;
}

class IpcWindows final : public TopLevelWindows {
 public:
  explicit IpcWindows(std::string socket_path) : socket_path_(std::move(socket_path)) {}

  std::optional<WindowPlacement> find(const char* title) override {
    const auto tree = ipc_request(socket_path_, kGetTree, {});
    if (!tree) return std::nullopt;
    const std::string wanted = title != nullptr ? system::locale_to_utf8(title) : std::string();
    const JsonValue* node = find_node(*tree, title != nullptr ? &wanted : nullptr);
    const JsonValue* rect = node ? node->member("rect") : nullptr;
    if (rect == nullptr) return std::nullopt;
    // The outer frame. sway's rectangle leaves out the title bar above it (the window's
    // own rectangle starts at its top); i3's holds it (the window starts below it).
    const JsonValue* decoration = node->member("deco_rect");
    const JsonValue* content = node->member("window_rect");
    const int title_bar = decoration ? decoration->integer_member("height") : 0;
    const int content_top = content ? content->integer_member("y") : 0;
    const int outside = content_top < title_bar ? title_bar : 0;
    WindowPlacement placement;
    placement.left = rect->integer_member("x");
    placement.top = rect->integer_member("y") - outside;
    placement.width = rect->integer_member("width");
    placement.height = rect->integer_member("height") + outside;
    placement.handle = node_id(*node);
    return placement;
  }

  bool move(uint64_t handle, int x, int y) override {
    if (handle == 0) return false;
    const std::string command = "[con_id=" + std::to_string(handle) +
                                "] floating enable, move absolute position " + std::to_string(x) +
                                " " + std::to_string(y) + ", focus";
    const auto reply = ipc_request(socket_path_, kRunCommand, command);
    if (!reply) return true;  // said why; whether the window exists is unknown
    if (reply->array() == nullptr) return false;
    // One outcome per command; a criterion that matches no window fails them all (sway) or
    // the last (i3).
    for (const JsonValue& outcome : *reply->array()) {
      const JsonValue* success = outcome.member("success");
      if (success != nullptr && success->boolean() != nullptr && *success->boolean()) continue;
      const JsonValue* error = outcome.member("error");
      const std::string reason = error && error->string() ? *error->string() : "no reason given";
      if (reason.rfind("No matching", 0) == 0 || reason.rfind("No window matches", 0) == 0)
        return false;
      system::console_diagnostic("the window manager did not place window %llu: %s\n",
                                 static_cast<unsigned long long>(handle), reason.c_str());
      break;
    }
    return true;
  }

 private:
  std::string socket_path_;
};

// The socket that `variable` names; it is reached at each use, so a socket that does not
// answer is said then, call by call.
std::unique_ptr<TopLevelWindows> open_socket_of(const char* variable, std::string& why_not) {
  const char* socket = std::getenv(variable);
  if (socket == nullptr || *socket == '\0') {
    why_not = std::string(variable) + " names no IPC socket";
    return nullptr;
  }
  return std::make_unique<IpcWindows>(socket);
}

}  // namespace

std::unique_ptr<TopLevelWindows> open_sway_windows(std::string& why_not) {
  return open_socket_of("SWAYSOCK", why_not);
}

std::unique_ptr<TopLevelWindows> open_i3_windows(std::string& why_not) {
  return open_socket_of("I3SOCK", why_not);
}

}  // namespace tapline::platform
