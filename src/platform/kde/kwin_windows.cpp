// The windows of KWin (KDE Plasma), Wayland and Xwayland alike, through KWin scripts: one
// lists them (title and frame rectangle, title bar included), one moves a frame and
// activates its window. KWin 5 calls them clients (clientList, activeClient), KWin 6
// windows (windowList, activeWindow); the scripts ask for whichever this KWin has.
#include <algorithm>
#include <cctype>

#include "platform/kde/kwin_script.h"
#include "platform/top_level_windows.h"
#include "platform/wm_ipc/json.h"
#include "system/console.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

// The windows a person works with (no panels, desktops or notifications), at most 1000.
constexpr const char* kWindowsOfThisKWin =
    "const windows = (kwin6 ? workspace.windowList() : workspace.clientList())\n"
    "    .filter(w => w.normalWindow || w.dialog).slice(0, 1000);\n";

constexpr const char* kList =
    "answer(JSON.stringify(windows.map(w => { const g = w.frameGeometry;\n"
    "  return {id: String(w.internalId), title: w.caption, x: g.x, y: g.y, width: g.width,\n"
    "          height: g.height}; })));\n";

// KWin's window ids are UUIDs in braces; anything else never goes into a script.
bool plain_id(const std::string& id) {
  return !id.empty() && id.size() < 64 && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == '-' || c == '{' || c == '}';
  });
}

class KWinWindows final : public TopLevelWindows {
 public:
  explicit KWinWindows(std::unique_ptr<kde::KWinScript> script) : script_(std::move(script)) {}

  std::optional<WindowPlacement> find(const char* title) override {
    const auto list = run(std::string(kWindowsOfThisKWin) + kList);
    if (!list || list->array() == nullptr) return std::nullopt;
    const std::string wanted = title != nullptr ? system::locale_to_utf8(title) : std::string();
    for (const JsonValue& window : *list->array()) {
      const JsonValue* name = window.member("title");
      const JsonValue* id = window.member("id");
      if (name == nullptr || name->string() == nullptr || id == nullptr ||
          id->string() == nullptr || !plain_id(*id->string()))
        continue;
      if (title != nullptr ? *name->string() != wanted : name->string()->empty()) continue;
      WindowPlacement placement;
      placement.left = window.integer_member("x");
      placement.top = window.integer_member("y");
      placement.width = window.integer_member("width");
      placement.height = window.integer_member("height");
      placement.handle = handle_of(*id->string());
      return placement;
    }
    return std::nullopt;
  }

  bool move(uint64_t handle, int x, int y) override {
    if (handle == 0 || handle > ids_.size()) return false;
    const std::string body =
        std::string(kWindowsOfThisKWin) + "const w = windows.find(w => String(w.internalId) == \"" +
        ids_[handle - 1] +
        "\");\n"
        "if (w) {\n"
        "  w.minimized = false;\n"
        "  const g = w.frameGeometry;\n"
        "  w.frameGeometry = {x: " +
        std::to_string(x) + ", y: " + std::to_string(y) +
        ", width: g.width, height: g.height};\n"
        "  if (kwin6) workspace.activeWindow = w; else workspace.activeClient = w;\n"
        "}\n"
        "answer(w ? \"true\" : \"false\");\n";
    const auto moved = run(body);
    // Whether the window exists is unknown when KWin did not answer (said already).
    return !moved || (moved->boolean() != nullptr && *moved->boolean());
  }

 private:
  std::optional<JsonValue> run(const std::string& body) {
    std::string why_not;
    const auto answer = script_->run(body, why_not);
    auto parsed = answer ? parse_json(*answer) : std::nullopt;
    if (!parsed) {
      if (answer) why_not = "KWin's script gave an unreadable answer";
      system::console_diagnostic("KWin windows: %s\n", why_not.c_str());
    }
    return parsed;
  }

  // Handles number KWin's ids in the order first seen, for as long as the process lives.
  uint64_t handle_of(const std::string& id) {
    const auto known = std::find(ids_.begin(), ids_.end(), id);
    if (known != ids_.end()) return static_cast<uint64_t>(known - ids_.begin()) + 1;
    ids_.push_back(id);
    return ids_.size();
  }

  std::unique_ptr<kde::KWinScript> script_;
  std::vector<std::string> ids_;
};

}  // namespace

std::unique_ptr<TopLevelWindows> open_kwin_windows(std::string& why_not) {
  auto script = kde::KWinScript::open(why_not);
  if (!script) return nullptr;
  return std::make_unique<KWinWindows>(std::move(script));
}

}  // namespace tapline::platform
