// TAPLINE_TRACE: the pictures and lines that FindColor, FindBmp and FindBmpEx leave of
// what they searched, from runs of the console program against a picture screen.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"
#include "screen_images.h"

namespace {

using tapline::testing::Image;
using tapline::testing::make_bmp;
using tapline::testing::quoted;
using tapline::testing::run_program;
using tapline::testing::tapline_binary;
using tapline::testing::TempDir;

constexpr uint32_t kBackground = 0x5A3C1E;
constexpr uint32_t kGreen = 0x00FF00, kRed = 0x0000FF, kMagenta = 0xFF00FF;

// A PNG file read back as colour values, top-down; empty when it does not decode.
Image read_png(const std::string& path) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return {};
  png.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
  if (png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr) == 0) return {};
  Image image(static_cast<int>(png.width), static_cast<int>(png.height));
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * image.width + x) * 3];
      image.set(x, y, p[0] | (p[1] << 8) | (p[2] << 16));
    }
  return image;
}

std::string read_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The line without its time, which varies.
std::string untimed(const std::string& line) {
  const size_t time = line.rfind("; ");
  if (time == std::string::npos || !line.ends_with(" ms")) return line;
  for (size_t i = time + 2; i + 3 < line.size(); ++i)
    if (line[i] < '0' || line[i] > '9') return line;
  return line.substr(0, time);
}

TEST(SearchTrace, PicturesShowTheResultOrTheNearestMissAndLinesSayWhy) {
  TempDir dir;
  Image screen(64, 48, kBackground);
  Image pattern(6, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) pattern.set(x, y, 0x101010 * (y + 1) + x);
  screen.paste(pattern, 40, 20);
  Image damaged = pattern;
  damaged.set(2, 1, 0xFFFFFF);
  damaged.set(3, 3, 0xFFFFFF);
  const std::string screen_path = dir.write("screen.bmp", tapline::testing::make_bmp(screen));
  const std::string good = dir.write("good.bmp", tapline::testing::make_bmp(pattern));
  const std::string bad = dir.write("bad.bmp", tapline::testing::make_bmp(damaged));
  const std::string trace = dir.file("trace");
  tapline::testing::TempFile script(
      "FindBmp(" + quoted(good) + ", 0, 0, 0, 0)\n" + "FindBmp(" + quoted(bad) + ")\n" +
      "FindBmpEx(" + quoted(bad) + ", 0, 0, 0, 0, 0, 0x000010)\n" +
      "FindColor(0x123456, 1, 2, 30, 40)\n" + "FindBmp('missing.bmp', 1, 2, 3, 4)\n");
  const auto run = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "9"},
                               {"TAPLINE_SCREEN=" + screen_path, "TAPLINE_TRACE=" + trace});
  ASSERT_EQ(run.status, 0) << run.err;

  const std::string prefix = trace + "/";
  EXPECT_EQ(untimed(read_line(prefix + "0001-FindBmp.txt")),
            "FindBmp(\"" + good + "\", 0, 0, 0, 0) -> 40, 20; found");
  EXPECT_EQ(untimed(read_line(prefix + "0002-FindBmp.txt")),
            "FindBmp(\"" + bad +
                "\") -> -1, -1; nearest miss at 40, 20: 2 of 20 compared "
                "pixels differ");
  EXPECT_EQ(untimed(read_line(prefix + "0003-FindBmpEx.txt")),
            "FindBmpEx(\"" + bad +
                "\", 0, 0, 0, 0, 0, 16) -> -1, -1; nearest miss at 40, 20: "
                "2 of 20 compared pixels differ");
  EXPECT_EQ(untimed(read_line(prefix + "0004-FindColor.txt")),
            "FindColor(1193046, 1, 2, 30, 40) -> -1, -1; nearest colour 0x5A3C1E at 1, 2");
  EXPECT_EQ(untimed(read_line(prefix + "0005-FindBmp.txt")),
            "FindBmp(\"missing.bmp\", 1, 2, 3, 4) -> -1, -1; no search: the pattern file "
            "does not exist");

  // Found: the grab (the whole screen less its last row and column), a green frame just
  // outside the match, and the pattern beside it after a gap.
  const Image found = read_png(prefix + "0001-FindBmp.png");
  ASSERT_EQ(found.width, 63 + 8 + 6);
  ASSERT_EQ(found.height, 47);
  EXPECT_EQ(found.get(0, 0), kBackground);
  EXPECT_EQ(found.get(39, 19), kGreen);
  EXPECT_EQ(found.get(46, 25), kGreen);
  EXPECT_EQ(found.get(40, 20), pattern.get(0, 0));
  EXPECT_EQ(found.get(71, 0), pattern.get(0, 0));
  EXPECT_EQ(found.get(76, 4), pattern.get(5, 4));
  // Missed: a red frame, and magenta exactly where the pattern differs from the screen.
  const Image missed = read_png(prefix + "0002-FindBmp.png");
  ASSERT_EQ(missed.width, found.width);
  EXPECT_EQ(missed.get(39, 19), kRed);
  EXPECT_EQ(missed.get(42, 21), kMagenta);
  EXPECT_EQ(missed.get(43, 23), kMagenta);
  EXPECT_EQ(missed.get(41, 21), pattern.get(1, 1));
  // FindColor's region starts at (1, 2): its nearest pixel is the picture's first.
  const Image color = read_png(prefix + "0004-FindColor.png");
  EXPECT_EQ(color.width, 29);
  EXPECT_EQ(color.height, 38);
  EXPECT_EQ(color.get(1, 1), kRed);  // the frame's far corner around (0, 0)
  EXPECT_FALSE(read_png(prefix + "0005-FindBmp.png").pixels.empty());

  // A later run adds to the pictures; without TAPLINE_TRACE nothing is written.
  tapline::testing::TempFile again("FindColor(0x5A3C1E)\n");
  run_program(tapline_binary(), {again.path(), "net", "127.0.0.1", "9"},
              {"TAPLINE_SCREEN=" + screen_path, "TAPLINE_TRACE=" + trace});
  EXPECT_EQ(untimed(read_line(prefix + "0006-FindColor.txt")), "FindColor(5913630) -> 0, 0; found");
  run_program(tapline_binary(), {again.path(), "net", "127.0.0.1", "9"},
              {"TAPLINE_SCREEN=" + screen_path, "TAPLINE_TRACE="});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(trace),
                          std::filesystem::directory_iterator()),
            12);
}

// Runs of scripts against a plain screen, tracing into one folder.
class TraceRuns : public ::testing::Test {
 protected:
  tapline::testing::ProgramResult run(const std::string& script,
                                      std::vector<std::string> environment = {}) {
    tapline::testing::TempFile file(script);
    environment.push_back("TAPLINE_SCREEN=" + screen_);
    environment.push_back("TAPLINE_TRACE=" + trace_);
    return run_program(tapline_binary(), {file.path(), "net", "127.0.0.1", "9"}, environment);
  }
  size_t files() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(trace_),
                                             std::filesystem::directory_iterator()));
  }

  TempDir dir_;
  const std::string screen_ = dir_.write("screen.bmp", make_bmp(Image(16, 8, kBackground)));
  const std::string trace_ = dir_.file("trace");
  static constexpr const char* kFound = "FindColor(5913630) -> 0, 0; found";
};

TEST_F(TraceRuns, PlantedLinksAreNotFollowedAndPicturesArePrivate) {
  const std::string victim = dir_.write("victim", "kept");
  std::filesystem::create_directory(trace_);
  // Links at the next numbers, made while the run goes on.
  const auto result =
      run("FindColor(0x5A3C1E)\n"
          "os.execute('ln -s " +
          victim + " " + trace_ + "/0002-FindColor.png && ln -s " + victim + " " + trace_ +
          "/0003-FindColor.txt')\n"
          "FindColor(0x5A3C1E)\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_line(victim), "kept");
  EXPECT_EQ(untimed(read_line(trace_ + "/0004-FindColor.txt")), kFound);
  EXPECT_FALSE(read_png(trace_ + "/0004-FindColor.png").pixels.empty());
  EXPECT_FALSE(
      std::filesystem::exists(std::filesystem::symlink_status(trace_ + "/0003-FindColor.png")));
  for (const char* name : {"/0001-FindColor.png", "/0001-FindColor.txt", "/0004-FindColor.png"}) {
    struct stat info {};
    ASSERT_EQ(stat((trace_ + name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
  }
}

TEST_F(TraceRuns, RunsSharingAFolderKeepEachOthersPictures) {
  // Each run traces once, then waits for the other to have done so before the rest.
  const auto script = [&](const std::string& mine, const std::string& other) {
    return "FindColor(0x5A3C1E)\nio.open(" + quoted(dir_.file(mine)) +
           ", 'w'):close()\nwhile not io.open(" + quoted(dir_.file(other)) +
           ") do os.execute('sleep 0.01') end\nfor i = 1, 49 do FindColor(0x5A3C1E) end\n";
  };
  std::thread other([&] { run(script("b", "a")); });
  run(script("a", "b"));
  other.join();
  EXPECT_EQ(files(), 200u);
}

TEST_F(TraceRuns, ARunStopsAtItsLimitAndSaysSoOnce) {
  const std::string four = "for i = 1, 4 do FindColor(0x5A3C1E) end\n";
  const auto pictures = run(four, {"TAPLINE_TRACE_MAX_PICTURES=2"});
  EXPECT_EQ(files(), 4u);
  const auto bytes = run(four, {"TAPLINE_TRACE_MAX_BYTES=1"});
  EXPECT_EQ(files(), 6u);
  for (const std::string& said : {pictures.err, bytes.err}) {
    const size_t at = said.find("later searches are not traced");
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find("later searches", at + 1), std::string::npos) << said;
  }
}

}  // namespace
