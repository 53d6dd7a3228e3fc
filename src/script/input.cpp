// Script functions that make the device type, click, move, touch and press keys, where
// the binding does more than forward its arguments (those are table rows made with
// call<>, script/call.h). The commands send the reports and keep their timing.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "command/host_message.h"
#include "command/keyboard.h"
#include "platform/screen_source.h"
#include "script/args.h"
#include "script/script_functions.h"
#include "system/console.h"
#include "tapline.h"

namespace tapline::script {
namespace {

struct ModifierName {
  const char* name;
  uint8_t bit;
};

// Matched as case-sensitive substrings of the modifier text, so separators do not matter.
constexpr ModifierName kModifierNames[] = {
    {"LCTRL", 0x01}, {"LSHIFT", 0x02}, {"LALT", 0x04}, {"LGUI", 0x08}, {"LWIN", 0x08},
    {"RCTRL", 0x10}, {"RSHIFT", 0x20}, {"RALT", 0x40}, {"RGUI", 0x80},
};

uint8_t modifier_mask(const char* text) {
  uint8_t mask = 0;
  if (text == nullptr) return mask;
  for (const ModifierName& modifier : kModifierNames)
    if (std::strstr(text, modifier.name) != nullptr) mask |= modifier.bit;
  return mask;
}

// MoveD stops when the cursor is this close to the target on both axes.
constexpr int kMoveNearEnough = 5;
// Passes are bounded: each sends at most a screen's width of reports, so MoveD ends in a
// bounded time on any pointer.
constexpr int kMoveMaxPasses = 16;

void key_action_by_name(lua_State* L, int action) {
  const char* name = arg_text(L, 1);
  if (name != nullptr) ::key_action(name, action);
}

}  // namespace

int LeftDoubleClick(lua_State*) {
  ::left_click();
  ::left_click();
  return 0;
}

// The first pass sends one report of `step` units per pixel of distance, which lands on a
// pointer that moves one pixel per unit with step 1. A pointer that moves further per
// report (a step above 1, or pointer acceleration, which X applies to reports above a few
// units) overshoots by that factor and would swing between the screen's edges for ever:
// each later pass therefore divides its report counts by the most pixels per report seen
// so far. A pass that brings the cursor no closer and teaches nothing new ends MoveD.
int MoveD(lua_State* L) {
  int x = arg_int32(L, 1);
  int y = arg_int32(L, 2);
  const int step = arg_int32(L, 3);
  // A step below 1 never moves the pointer, so no pass could bring it nearer.
  if (step < 1) return 0;
  platform::ScreenSource& screen = platform::screen();
  // The cursor cannot leave the screen: a target beyond it is taken at its edge, where
  // the stop test can hold.
  const platform::ScreenSize size = screen.size();
  if (size.width > 0 && size.height > 0) {
    x = std::clamp(x, 0, size.width - 1);
    y = std::clamp(y, 0, size.height - 1);
  }
  std::optional<platform::ScreenPoint> before;
  int64_t before_distance = 0;
  int64_t before_reports = 0;
  bool before_x_major = true;
  double pixels_per_report = 1;
  for (int pass = 0;; ++pass) {
    const std::optional<platform::ScreenPoint> cursor = screen.cursor();
    if (!cursor) {
      static bool said = false;
      if (!said) system::console_diagnostic_from("MoveD", "the cursor position is unavailable\n");
      said = true;
      return 0;
    }
    // A pass that left the cursor where it was (the device drives another machine, or
    // nothing receives the reports) would be repeated without end.
    if (before && before->x == cursor->x && before->y == cursor->y) {
      system::console_diagnostic_from("MoveD", "the cursor did not follow the moves; stopping\n");
      return 0;
    }
    const int64_t dx = std::llabs(int64_t{x} - cursor->x);
    const int64_t dy = std::llabs(int64_t{y} - cursor->y);
    if (dx < kMoveNearEnough && dy < kMoveNearEnough) return 0;
    const int64_t distance = std::max(dx, dy);
    bool learned = false;
    if (before) {
      const int64_t moved = before_x_major ? std::llabs(int64_t{cursor->x} - before->x)
                                           : std::llabs(int64_t{cursor->y} - before->y);
      const double seen = static_cast<double>(moved) / static_cast<double>(before_reports);
      if (seen > pixels_per_report) {
        pixels_per_report = seen;
        learned = true;
      }
      if (distance >= before_distance && !learned) {
        system::console_diagnostic_from("MoveD",
                                        "a pass brought the cursor no closer; stopping at %d,%d\n",
                                        cursor->x, cursor->y);
        return 0;
      }
    }
    if (pass == kMoveMaxPasses) {
      system::console_diagnostic_from("MoveD",
                                      "not within %d pixels after %d passes; stopping at %d,%d\n",
                                      kMoveNearEnough, kMoveMaxPasses, cursor->x, cursor->y);
      return 0;
    }
    const auto reports = [&](int64_t pixels) {
      return static_cast<int64_t>(std::llround(static_cast<double>(pixels) / pixels_per_report));
    };
    const int64_t low = reports(std::min(dx, dy));
    const int64_t high = std::max<int64_t>(reports(distance), 1);
    host_printf("当前坐标x:%d y:%d  移动%d  %d个单位", cursor->x, cursor->y, static_cast<int>(low),
                static_cast<int>(high - low));
    const int sx = cursor->x > x ? -1 : 1;
    const int sy = cursor->y > y ? -1 : 1;
    for (int64_t i = 0; i < low; ++i) ::move(sx * step, sy * step);
    for (int64_t i = 0; i < high - low; ++i) {
      if (dx > dy)
        ::move(sx * step, 0);
      else
        ::move(0, sy * step);
    }
    before = cursor;
    before_distance = distance;
    before_reports = high;
    before_x_major = dx > dy;
  }
}

int key(lua_State* L) {
  const char* name = arg_text(L, 1);
  if (name == nullptr) return 0;
  ::key(name, modifier_mask(arg_text(L, 2)), 1);
  return 0;
}

int VK(lua_State* L) {
  const char* name = arg_text(L, 1);
  lua_pushinteger(L, name ? key_name_to_vk(name) : 0);
  return 1;
}

int KeyDown(lua_State* L) {
  key_action_by_name(L, 0);
  return 0;
}

int KeyUp(lua_State* L) {
  key_action_by_name(L, 1);
  return 0;
}

int KeyPress(lua_State* L) {
  key_action_by_name(L, 2);
  return 0;
}

int Touch(lua_State* L) {
  switch (lua_gettop(L)) {
    case 2:
      ::touch(1, 0, arg_int32(L, 1), arg_int32(L, 2));
      break;
    case 3:
      ::touch(arg_int32(L, 1), 0, arg_int32(L, 2), arg_int32(L, 3));
      break;
    case 4:
      ::touch(arg_int32(L, 1), arg_int32(L, 2), arg_int32(L, 3), arg_int32(L, 4));
      break;
    default:
      break;
  }
  return 0;
}

int TouchSlide(lua_State* L) {
  const int count = lua_gettop(L);
  if (count < 4) return 0;
  constexpr int kDefaultIntervalMs = 20;
  const int interval = count >= 5 ? arg_int32(L, 5) : kDefaultIntervalMs;
  ::touch_slide(arg_int32(L, 1), arg_int32(L, 2), arg_int32(L, 3), arg_int32(L, 4), interval);
  return 0;
}

int joyKey(lua_State* L) {
  const int button = arg_int32(L, 1) & 31;
  ::joy((1 << button) & 0xFFFF, 0, 0, 0, 0);
  return 0;
}

}  // namespace tapline::script
