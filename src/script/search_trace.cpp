#include "script/search_trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Most pictures and bytes one run leaves (TAPLINE_TRACE_MAX_PICTURES and
// TAPLINE_TRACE_MAX_BYTES replace them): a script searching in a loop would otherwise fill
// the disk, a noisy full-screen picture taking some 6 MB.
constexpr uint64_t kDefaultMaxPictures = 1000;
constexpr uint64_t kDefaultMaxBytes = uint64_t{1} << 30;

// Numbers passed over at most, taken ones, before a picture is given up: another run may
// have left thousands in a folder that cannot be listed.
constexpr int kMaxNumberTries = 100000;

uint64_t limit_from_environment(const char* name, uint64_t default_limit) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return default_limit;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || text[0] == '-' || value == 0) {
    system::console_diagnostic("%s=%s is not a positive whole number; the limit stays %llu\n", name,
                               text, static_cast<unsigned long long>(default_limit));
    return default_limit;
  }
  return value;
}

// Where numbering starts: one above the highest number already in the directory, so that
// a second run adds to the pictures of the first in order. Taken numbers are passed over
// when the files are made, so this is only where to start.
int first_number(const char* directory) {
  int first = 1;
  if (DIR* listing = opendir(directory)) {
    while (const dirent* entry = readdir(listing)) {
      char* end = nullptr;
      const long number = std::strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '-' && number >= first && number < 99999999)
        first = static_cast<int>(number) + 1;
    }
    closedir(listing);
  }
  return first;
}

// A new file that is private (pictures of the screen), never one that exists nor one a
// link planted at its name leads to: the folder may be shared with other users and runs.
int create_new_file(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

struct TraceFiles {
  std::string base;  // DIR/NNNN-Function
  int picture = -1;
  int line = -1;
};

// Creates the picture and line files of the next free number. False, with the reason in
// `error`, when they cannot be made.
bool create_trace_files(const char* directory, const char* function, TraceFiles& files,
                        std::string& error) {
  static int next = first_number(directory);
  for (int tries = 0; tries < kMaxNumberTries && next < 99999999; ++tries) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "/%04d-%s", next++, function);
    files.base = directory + std::string(stem);
    files.picture = create_new_file(files.base + ".png");
    if (files.picture < 0) {
      if (errno == EEXIST) continue;
      error = "cannot write " + files.base + ".png: " + std::strerror(errno);
      return false;
    }
    files.line = create_new_file(files.base + ".txt");
    if (files.line >= 0) return true;
    const int why = errno;
    ::close(files.picture);
    ::unlink((files.base + ".png").c_str());
    if (why != EEXIST) {
      error = "cannot write " + files.base + ".txt: " + std::strerror(why);
      return false;
    }
  }
  error = std::string("no free picture number in ") + directory;
  return false;
}

// Writes through `fd`, which it closes; the bytes written, or -1 with the reason in `error`.
template <typename Write>
long write_and_close(int fd, Write write, std::string& error) {
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  bool written = write(file);
  if (!written && error.empty()) error = std::strerror(errno);
  const long size = std::ftell(file);
  if (std::fclose(file) != 0 && written) {
    error = std::strerror(errno);
    written = false;
  }
  return written ? size : -1;
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

// Whether this run may leave another picture; says once when it may not.
bool within_limits(const char* function, uint64_t pictures, uint64_t bytes) {
  static const uint64_t max_pictures =
      limit_from_environment("TAPLINE_TRACE_MAX_PICTURES", kDefaultMaxPictures);
  static const uint64_t max_bytes =
      limit_from_environment("TAPLINE_TRACE_MAX_BYTES", kDefaultMaxBytes);
  if (pictures < max_pictures && bytes < max_bytes) return true;
  static bool said = false;
  if (!said) {
    said = true;
    system::console_diagnostic_from(
        function,
        "TAPLINE_TRACE: this run has left its most pictures (%llu, %llu bytes; "
        "TAPLINE_TRACE_MAX_PICTURES and TAPLINE_TRACE_MAX_BYTES raise the limit): later "
        "searches are not traced\n",
        static_cast<unsigned long long>(pictures), static_cast<unsigned long long>(bytes));
  }
  return false;
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
  static uint64_t pictures = 0, bytes = 0;
  if (!within_limits(trace.function, pictures, bytes)) return;
  std::string line = std::string(trace.function) + "(" + arguments_text(L) + ") -> " +
                     (trace.result.empty() ? point_text(trace.found) : trace.result);
  image::SearchMarks marks;
  marks.found = trace.found;
  marks.tolerance = trace.tolerance;
  if (!trace.pattern.empty()) marks.size = {trace.pattern.width, trace.pattern.height};
  if (trace.words != nullptr) {
    marks.size = trace.found_size;
    for (const ReadWord& word : *trace.words)
      marks.words.push_back({{word.x, word.y}, {word.width, word.height}});
  }
  const image::PixelView grab = trace.grab != nullptr ? *trace.grab : image::PixelView{};

  if (trace.note != nullptr) {
    line += "; ";
    line += trace.note;
  } else if (trace.words != nullptr && trace.grab != nullptr) {
    line += "; " + std::to_string(trace.words->size()) + " words read";
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

  ::mkdir(directory, 0700);  // one level; an existing directory is fine
  TraceFiles files;
  std::string error;
  if (!create_trace_files(directory, trace.function, files, error)) {
    say_failure_once(trace.function, error);
    return;
  }
  ++pictures;
  const image::RgbPicture picture =
      image::compose_search_picture(grab, trace.region, trace.pattern, marks);
  const long picture_bytes = write_and_close(
      files.picture, [&](std::FILE* file) { return image::write_png(file, picture, error); },
      error);
  if (picture_bytes < 0) {
    ::close(files.line);
    say_failure_once(trace.function, "cannot write " + files.base + ".png: " + error);
    return;
  }
  const long line_bytes = write_and_close(
      files.line, [&](std::FILE* file) { return std::fputs(line.c_str(), file) >= 0; }, error);
  if (line_bytes < 0) {
    say_failure_once(trace.function, "cannot write " + files.base + ".txt: " + error);
    return;
  }
  bytes += static_cast<uint64_t>(picture_bytes + line_bytes);
}

}  // namespace tapline::script
