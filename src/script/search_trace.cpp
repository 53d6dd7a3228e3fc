#include "script/search_trace.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/png.h"
#include "image/search_picture.h"
#include "system/console.h"

namespace tapline::script {
namespace {

// Candidates a nearest-miss search weighs at most, so that tracing a search over a
// screen full of the anchor colour still ends soon.
constexpr int64_t kMaxMissCandidates = 1 << 16;

// The next picture number: one above the highest number already in the directory, so
// that a second run adds to the pictures of the first instead of replacing them.
int next_number(const char* directory) {
  static int next = 0;
  if (next == 0) {
    next = 1;
    if (DIR* listing = opendir(directory)) {
      while (const dirent* entry = readdir(listing)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '-' && number >= next && number < 99999999)
          next = static_cast<int>(number) + 1;
      }
      closedir(listing);
    }
  }
  return next++;
}

std::string arguments_text(lua_State* L) {
  std::string text;
  const int count = lua_gettop(L);
  for (int i = 1; i <= count; ++i) {
    if (i > 1) text += ", ";
    if (lua_type(L, i) == LUA_TSTRING) {
      text += '"';
      text += lua_tostring(L, i);
      text += '"';
    } else if (lua_type(L, i) == LUA_TNUMBER) {
      lua_pushvalue(L, i);  // converting a copy leaves the argument a number
      text += lua_tostring(L, -1);
      lua_pop(L, 1);
    } else {
      text += luaL_typename(L, i);
    }
  }
  return text;
}

std::string point_text(const std::optional<image::Point>& point) {
  return point ? std::to_string(point->x) + ", " + std::to_string(point->y) : "-1, -1";
}

void say_failure_once(const char* function, const std::string& what) {
  static bool said = false;
  if (said) return;
  said = true;
  system::console_diagnostic_from(function, "TAPLINE_TRACE: %s (further failures are not shown)\n",
                                  what.c_str());
}

}  // namespace

const char* search_trace_directory() {
  static const char* const directory = [] {
    const char* value = std::getenv("TAPLINE_TRACE");
    return value != nullptr && *value != '\0' ? value : nullptr;
  }();
  return directory;
}

void write_search_trace(lua_State* L, const char* directory, const SearchTrace& trace) {
  std::string line =
      std::string(trace.function) + "(" + arguments_text(L) + ") -> " + point_text(trace.found);
  image::SearchMarks marks;
  marks.found = trace.found;
  marks.tolerance = trace.tolerance;
  if (!trace.pattern.empty()) marks.size = {trace.pattern.width, trace.pattern.height};
  const image::PixelView grab = trace.grab != nullptr ? *trace.grab : image::PixelView{};

  if (trace.note != nullptr) {
    line += "; ";
    line += trace.note;
  } else if (trace.found) {
    line += "; found";
  } else if (trace.grab == nullptr) {
    line += "; nothing searched (empty region or no screen)";
  } else if (trace.pattern.empty()) {
    marks.miss = image::nearest_color(grab, trace.color, trace.region);
    if (marks.miss) {
      const uint32_t nearest = image::color_of(grab.row(marks.miss->y)[marks.miss->x]);
      char text[96];
      std::snprintf(text, sizeof text, "; nearest colour 0x%06X at %d, %d", nearest, marks.miss->x,
                    marks.miss->y);
      line += text;
    }
  } else {
    const auto miss = image::nearest_miss(grab, trace.pattern, trace.region, trace.anchor,
                                          trace.tolerance, kMaxMissCandidates);
    char text[160];
    if (miss) {
      marks.miss = miss->corner;
      std::snprintf(text, sizeof text,
                    "; nearest miss at %d, %d: %lld of %lld compared pixels differ%s",
                    miss->corner.x, miss->corner.y, static_cast<long long>(miss->differing),
                    static_cast<long long>(miss->compared),
                    miss->capped ? " (first 65536 candidates weighed)" : "");
    } else {
      std::snprintf(text, sizeof text,
                    "; no candidate: the anchor colour 0x%06X (pattern pixel %d, %d) is not "
                    "in the region with room below it",
                    image::color_of(trace.anchor.pixel), trace.anchor.x, trace.anchor.y);
    }
    line += text;
  }
  line += "; " + std::to_string(trace.elapsed_ms) + " ms\n";

  ::mkdir(directory, 0777);  // one level; an existing directory is fine
  char stem[32];
  std::snprintf(stem, sizeof stem, "/%04d-%s", next_number(directory), trace.function);
  const std::string base = directory + std::string(stem);
  std::string error;
  if (!image::write_png((base + ".png").c_str(),
                        image::compose_search_picture(grab, trace.region, trace.pattern, marks),
                        error)) {
    say_failure_once(trace.function, "cannot write " + base + ".png: " + error);
    return;
  }
  std::FILE* text = std::fopen((base + ".txt").c_str(), "w");
  bool written = text != nullptr;
  if (written) {
    written = std::fputs(line.c_str(), text) >= 0;
    written = std::fclose(text) == 0 && written;
  }
  if (!written) {
    say_failure_once(trace.function, "cannot write " + base + ".txt: " + std::strerror(errno));
  }
}

}  // namespace tapline::script
