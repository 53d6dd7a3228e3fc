// What reading the screen's text costs: GetScreenText on a 480x120 region and on the whole
// 1920x1080 screen, and FindText over the whole screen, each through its script function
// with the engine kept from call to call; beside them the `tesseract` command reading the
// same pixels from a BMP file, as a script running the command for each read would.
//
//   bench_screen_text [runs]   (default 5)
//
// The screen (a TAPLINE_SCREEN-style picture) is a mock desktop of DejaVu Sans words:
// dark on light at 12 to 20 pixels and light on dark panels. Prints one line per figure
// (median and fastest) and how many of the drawn words each reader got.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <lua.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "drawn_text.h"
#include "image/text_picture.h"
#include "platform/screen_source.h"
#include "script/script_functions.h"
#include "timing.h"

namespace {

using tapline::testing::Image;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kRegionX = 40, kRegionY = 40, kRegionWidth = 480, kRegionHeight = 120;

const char* const kVocabulary[] = {
    "file",   "edit",    "view",     "window",  "help",   "open",    "save",    "close",
    "print",  "network", "settings", "battery", "volume", "display", "account", "search",
    "status", "update",  "install",  "remove",  "folder", "project", "build",   "debug",
    "select", "cancel",  "apply",    "format",  "insert", "table",   "report",  "message"};

struct MockScreen {
  Image image{kWidth, kHeight, 0xF4F4F4};
  std::vector<std::string> region_words, all_words;

  MockScreen() {
    std::mt19937 random(7);
    auto line = [&](int left, int top, int size, uint32_t color, int count) {
      std::vector<std::string> words;
      for (int i = 0; i < count; ++i) words.push_back(kVocabulary[random() % 32]);
      tapline::testing::draw_words(image, tapline::testing::kLatinFont, size, left, top, words,
                                   color);
      const bool in_region = left >= kRegionX && left < kRegionX + kRegionWidth &&
                             top >= kRegionY && top + size * 3 / 2 <= kRegionY + kRegionHeight;
      for (const std::string& word : words) {
        all_words.push_back(word);
        if (in_region) region_words.push_back(word);
      }
    };
    // The region: three lines of 13 pixels, as a dialog's text.
    for (int row = 0; row < 3; ++row) line(kRegionX + 8, kRegionY + 10 + row * 34, 13, 0x202020, 5);
    // Columns of text lines of several sizes, and two dark panels with light text.
    for (int column = 0; column < 3; ++column)
      for (int row = 0; row < 22; ++row)
        line(40 + column * 620, 200 + row * 36, 12 + (row % 3) * 4, 0x202020, 6);
    image.fill(0, 1030, kWidth, 50, 0x303844);
    line(20, 1045, 14, 0xFFFFFF, 12);
    image.fill(1300, 20, 560, 140, 0x1E3A5A);
    for (int row = 0; row < 3; ++row) line(1320, 36 + row * 40, 16, 0xF0F0F0, 5);
  }
};

// How many of `words` are among the words of `text`, without regard to case.
size_t words_got(const std::vector<std::string>& words, const std::string& text) {
  std::multiset<std::string> read;
  std::istringstream stream(text);
  for (std::string word; stream >> word;) {
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    read.insert(word);
  }
  size_t got = 0;
  for (const std::string& word : words) {
    const auto at = read.find(word);
    if (at != read.end()) read.erase(at), ++got;
  }
  return got;
}

std::string command_output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

std::string write_bmp(const std::string& path, const Image& image) {
  const std::vector<uint8_t> bytes = tapline::testing::make_bmp(image);
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 5;
  const MockScreen screen;
  char directory[] = "/tmp/bench_screen_text.XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string whole = write_bmp(std::string(directory) + "/screen.bmp", screen.image);
  const std::string region =
      write_bmp(std::string(directory) + "/region.bmp",
                screen.image.crop(kRegionX, kRegionY, kRegionWidth, kRegionHeight));
  std::string why_not;
  auto picture = tapline::platform::open_picture_screen(whole.c_str(), why_not);
  if (picture == nullptr) {
    std::fprintf(stderr, "bench_screen_text: %s\n", why_not.c_str());
    return 1;
  }
  tapline::platform::set_screen(picture.get());

  lua_State* L = luaL_newstate();
  lua_register(L, "GetScreenText", tapline::script::GetScreenText);
  lua_register(L, "FindText", tapline::script::FindText);
  auto call = [L](const std::string& code) {
    std::string text;
    if (luaL_dostring(L, ("return " + code).c_str()) == LUA_OK && lua_isstring(L, -1))
      text = lua_tostring(L, -1);
    lua_settop(L, 0);
    return text;
  };
  const std::string region_call = "GetScreenText(" + std::to_string(kRegionX) + ", " +
                                  std::to_string(kRegionY) + ", " +
                                  std::to_string(kRegionX + kRegionWidth) + ", " +
                                  std::to_string(kRegionY + kRegionHeight) + ")";
  const auto first = std::chrono::steady_clock::now();
  call(region_call);
  std::printf("%-58s %8.3f ms\n", "first call: the engine made, 480x120 region read",
              tapline::bench::ms_since(first));
  std::string text;
  tapline::bench::report("GetScreenText, 480x120 region", runs, [&] { text = call(region_call); });
  std::printf("  words got: %zu of %zu\n", words_got(screen.region_words, text),
              screen.region_words.size());
  // The command as installed, and on one thread as GetScreenText runs the engine.
  const std::string command = "tesseract " + region + " - 2>/dev/null";
  tapline::bench::report("tesseract command, the same 480x120 region", runs,
                         [&] { text = command_output(command); });
  std::printf("  words got: %zu of %zu\n", words_got(screen.region_words, text),
              screen.region_words.size());
  tapline::bench::report("tesseract command, one thread, the same region", runs,
                         [&] { text = command_output("OMP_THREAD_LIMIT=1 " + command); });

  // What of a whole-screen read is ours: the grey picture the engine is given.
  tapline::image::GreyPicture grey;
  tapline::bench::report("the grey picture alone, whole screen", runs, [&] {
    tapline::image::make_text_picture(screen.image.view(), {0, 0, kWidth, kHeight}, 1, 12, grey);
  });

  const int whole_runs = std::max(runs / 2, 2);
  tapline::bench::report("GetScreenText, whole 1920x1080 screen", whole_runs,
                         [&] { text = call("GetScreenText()"); });
  std::printf("  words got: %zu of %zu\n", words_got(screen.all_words, text),
              screen.all_words.size());
  tapline::bench::report("FindText, a word absent, whole 1920x1080 screen", whole_runs,
                         [&] { call("FindText('absentword')"); });
  const std::string whole_command = "tesseract " + whole + " - 2>/dev/null";
  tapline::bench::report("tesseract command, the same whole screen", whole_runs,
                         [&] { text = command_output(whole_command); });
  std::printf("  words got: %zu of %zu\n", words_got(screen.all_words, text),
              screen.all_words.size());
  tapline::bench::report("tesseract command, one thread, the same whole screen", whole_runs,
                         [&] { text = command_output("OMP_THREAD_LIMIT=1 " + whole_command); });

  lua_close(L);
  tapline::platform::set_screen(nullptr);
  std::remove(whole.c_str());
  std::remove(region.c_str());
  rmdir(directory);
  return 0;
}
