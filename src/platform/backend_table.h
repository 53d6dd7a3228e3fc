// How every desktop seam (screen, clipboard, windows, key state, input events) picks its
// backend, after SDL's bootstrap tables and Lua's luaL_Reg: each backend is one row
// {name, the desktops it serves, its open function}; the seam keeps an ordered table of
// them and takes the first row that opens. An open function gives nothing and says why in
// its last argument, `std::string& why_not` (the one spelling of failure of this layer).
// A new backend is one row in its seam's table, wrapped in the TAPLINE_WITH_... of its
// folder when that folder is optional.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/desktop.h"

namespace tapline::platform {

// The desktops a backend serves.
enum class Desktops : unsigned char { x11 = 1, wayland = 2, either = 3 };

constexpr bool serves(Desktops desktops, Desktop desktop) {
  return (static_cast<unsigned>(desktops) & (desktop == Desktop::x11 ? 1u : 2u)) != 0;
}

// One backend of a seam. `Open` is the type of its open function, whose last parameter is
// `std::string& why_not`; it gives something that tests false when the backend cannot serve.
template <typename Open>
struct BackendRow {
  const char* name;
  Desktops desktops;
  Open* open;
};

// What a seam asks for: the backends of one desktop, or, when `name` is set (a setting
// chose it), only the backend of that name, whatever desktop it serves.
struct BackendWish {
  Desktop desktop = Desktop::x11;
  const char* name = nullptr;

  bool admits(const char* row_name, Desktops desktops) const {
    return name != nullptr ? std::strcmp(row_name, name) == 0 : serves(desktops, desktop);
  }
};

// A backend that was asked and did not open, and why.
struct BackendRefusal {
  std::string name;
  std::string why_not;
};

// The reasons as one text for one line of standard error: the reason alone when one
// backend refused (the seam's line says which service it is), else "name: reason" for
// each, in the table's order, joined by "; ". Empty when none refused.
std::string list_reasons(const std::vector<BackendRefusal>& refusals);

template <typename Made>
struct BackendChoice {
  Made made{};                 // tests false when no backend opened
  const char* name = nullptr;  // the row that opened it
  // The rows asked before it, or every row asked when none opened. A wish by name that
  // no row of this build has gives one refusal saying so.
  std::vector<BackendRefusal> refusals;

  std::string reasons() const { return list_reasons(refusals); }
};

// Asks each row of `table` that `wish` admits, in order, to open with `args` (and the
// why_not the row fills in); the first that opens is chosen.
template <typename Open, std::size_t N, typename... Args>
auto choose_backend(const BackendRow<Open> (&table)[N], const BackendWish& wish, Args&&... args) {
  using Made = std::invoke_result_t<Open*, Args&..., std::string&>;
  BackendChoice<Made> choice;
  bool asked = false;
  for (const BackendRow<Open>& row : table) {
    if (!wish.admits(row.name, row.desktops)) continue;
    asked = true;
    std::string why_not;
    if (Made made = row.open(args..., why_not)) {
      choice.made = std::move(made);
      choice.name = row.name;
      return choice;
    }
    choice.refusals.push_back({row.name, why_not.empty() ? "gives no reason" : why_not});
  }
  if (wish.name != nullptr && !asked)
    choice.refusals.push_back(
        {wish.name, std::string("this build has no ") + wish.name + " backend"});
  return choice;
}

}  // namespace tapline::platform
