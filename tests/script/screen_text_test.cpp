// GetScreenText and FindText on drawn words: on an X11 screen (a private Xvfb) and on a
// BMP picture standing for the screen, then without the engine and with tracing on. The
// tests that read need the text engine and its English data; they skip without them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "drawn_text.h"
#include "platform/screen_source.h"
#include "program_run.h"
#include "script_state.h"
#include "system/ocr_library.h"
#include "xvfb.h"

// Last: Xlib's macros would clash with the names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using tapline::testing::draw_words;
using tapline::testing::Image;
using tapline::testing::InkBox;
using tapline::testing::kChineseFont;
using tapline::testing::kLatinFont;
using tapline::testing::quoted;
using Script = tapline::testing::ScriptState;

constexpr int kWidth = 800, kHeight = 480;
constexpr uint32_t kPaper = 0xF0F0F0, kInk = 0x202020, kPanel = 0x402010, kLight = 0xFFFFFF;
constexpr const char* kDataDir = "/usr/share/tesseract-ocr/5/tessdata/";

bool have_language(const char* language) {
  return access((std::string(kDataDir) + language + ".traineddata").c_str(), R_OK) == 0 &&
         tapline::system::load_ocr_library().loaded;
}

// One drawn line: its words and their ink boxes.
struct Line {
  std::vector<std::string> words;
  std::vector<InkBox> boxes;
};

// The screen of the tests: dark words on light at three sizes, and light words on a dark
// panel.
struct DrawnScreen {
  Image image{kWidth, kHeight, kPaper};
  std::vector<Line> lines;

  DrawnScreen() {
    add(kLatinFont, 13, 20, 20, {"Open", "the", "settings", "window"}, kInk);
    add(kLatinFont, 18, 20, 70, {"Network", "status:", "connected"}, kInk);
    add(kLatinFont, 28, 20, 130, {"Save", "changes"}, kInk);
    image.fill(400, 250, 380, 60, kPanel);
    add(kLatinFont, 16, 420, 270, {"Battery", "level", "high"}, kLight);
  }
  void add(const char* font, int size, int left, int top, std::vector<std::string> words,
           uint32_t color) {
    Line line{words, draw_words(image, font, size, left, top, words, color)};
    ASSERT_EQ(line.boxes.size(), words.size()) << "cannot draw with " << font;
    lines.push_back(std::move(line));
  }
};

tapline::testing::XvfbServer* x_server = nullptr;

// The process's display is the private server: DISPLAY is set before anything opens it.
class XServerEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    server_ = std::make_unique<tapline::testing::XvfbServer>(std::to_string(kWidth) + "x" +
                                                             std::to_string(kHeight) + "x24");
    setenv("DISPLAY", server_->name().c_str(), 1);
    unsetenv("TAPLINE_SCREEN");
    unsetenv("TAPLINE_OCR_LANG");
    x_server = server_.get();
  }
  void TearDown() override { server_.reset(); }

 private:
  std::unique_ptr<tapline::testing::XvfbServer> server_;
};
testing::Environment* const x_environment =
    testing::AddGlobalTestEnvironment(new XServerEnvironment);

// Draws `image` on the root window of the private server (a 24-bit TrueColor screen).
void draw_on_display(const Image& image) {
  Display* display = XOpenDisplay(x_server->name().c_str());
  ASSERT_NE(display, nullptr);
  const int screen = DefaultScreen(display);
  XImage* x_image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0, nullptr,
                                 image.width, image.height, 32, 0);
  x_image->data =
      static_cast<char*>(std::malloc(static_cast<size_t>(x_image->bytes_per_line) * image.height));
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const uint32_t color = image.get(x, y);
      XPutPixel(x_image, x, y, ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF));
    }
  XPutImage(display, DefaultRootWindow(display), DefaultGC(display, screen), x_image, 0, 0, 0, 0,
            image.width, image.height);
  XSync(display, False);
  XDestroyImage(x_image);
  XCloseDisplay(display);
}

// Where the script looks: the X11 display, or a BMP picture as the screen.
class ScreenText : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!have_language("eng")) GTEST_SKIP() << "no text engine with English data installed";
  }
  void TearDown() override { tapline::platform::set_screen(nullptr); }

  void show(const Image& image) {
    if (std::string(GetParam()) == "x11") {
      draw_on_display(image);
      tapline::platform::set_screen(nullptr);
      return;
    }
    const auto path = dir_.write("screen.bmp", tapline::testing::make_bmp(image));
    std::string why_not;
    picture_ = tapline::platform::open_picture_screen(path.c_str(), why_not);
    ASSERT_NE(picture_, nullptr) << why_not;
    tapline::platform::set_screen(picture_.get());
  }

  Script script_;
  tapline::testing::TempDir dir_;
  std::unique_ptr<tapline::platform::ScreenSource> picture_;
};

INSTANTIATE_TEST_SUITE_P(Screens, ScreenText, testing::Values("x11", "picture"));

constexpr int kSlack = 3;  // pixels a found corner may lie from the drawn ink

TEST_P(ScreenText, ReadsTheWordsAndFindsEachAtItsBox) {
  const DrawnScreen screen;
  show(screen.image);
  EXPECT_EQ(script_.text("GetScreenText(0, 0, 400, 200)"),
            "Open the settings window\nNetwork status: connected\nSave changes");
  EXPECT_EQ(script_.text("GetScreenText(400, 250, 800, 320)"), "Battery level high");
  for (const Line& line : screen.lines) {
    for (size_t i = 0; i < line.words.size(); ++i) {
      const InkBox& box = line.boxes[i];
      const auto found = script_.integers("FindText(" + quoted(line.words[i]) + ")");
      ASSERT_EQ(found.size(), 5u) << line.words[i];
      EXPECT_NEAR(found[0], box.x, kSlack) << line.words[i];
      EXPECT_NEAR(found[1], box.y, kSlack) << line.words[i];
      EXPECT_NEAR(found[2], box.width, 2 * kSlack) << line.words[i];
      EXPECT_NEAR(found[3], box.height, 2 * kSlack) << line.words[i];
      EXPECT_GT(found[4], 50) << line.words[i];
    }
  }
  // Several words, any case, punctuation around them left out; the first in reading order.
  const InkBox& network = screen.lines[1].boxes[0];
  const auto phrase = script_.integers("FindText('NETWORK STATUS', 0, 0, 0, 0)");
  EXPECT_NEAR(phrase[0], network.x, kSlack);
  EXPECT_NEAR(phrase[1], network.y, kSlack);
  EXPECT_NEAR(phrase[2], screen.lines[1].boxes[1].x + screen.lines[1].boxes[1].width - network.x,
              2 * kSlack);
}

TEST_P(ScreenText, AbsentAndCutWordsAreNotFound) {
  const DrawnScreen screen;
  show(screen.image);
  EXPECT_EQ(script_.integers("FindText('printer')"), (std::vector<int64_t>{-1, -1}));
  EXPECT_EQ(script_.integers("FindText('settings window', 0, 0, 0, 0)").size(), 5u);
  EXPECT_EQ(script_.integers("FindText('window settings')"), (std::vector<int64_t>{-1, -1}));
  // The region ends in the middle of "changes": the word is not read whole.
  const InkBox& changes = screen.lines[2].boxes[1];
  const std::string cut = "0, 0, " + std::to_string(changes.x + changes.width / 2) + ", 200";
  EXPECT_EQ(script_.integers("FindText('changes', " + cut + ")"), (std::vector<int64_t>{-1, -1}));
  EXPECT_EQ(script_.integers("FindText('Save', " + cut + ")").size(), 5u);
  // Nothing to read: nil, and a region off the screen reads nothing either.
  EXPECT_EQ(script_.text("GetScreenText(200, 330, 380, 470)"), "<nil>");
  EXPECT_EQ(script_.text("GetScreenText(900, 900, 1000, 1000)"), "<nil>");
  EXPECT_EQ(script_.integers("FindText('', 0, 0, 0, 0)"), (std::vector<int64_t>{-1, -1}));
}

TEST_P(ScreenText, ChineseWithItsLanguage) {
  if (!have_language("chi_sim") || access(kChineseFont, R_OK) != 0)
    GTEST_SKIP() << "no Chinese data (tesseract-ocr-chi-sim) or font (fonts-wqy-microhei)";
  Image image(kWidth, kHeight, kPaper);
  const auto boxes = draw_words(image, kChineseFont, 24, 40, 60, {"打开设置", "窗口"}, kInk);
  show(image);
  EXPECT_EQ(script_.text("GetScreenText(0, 0, 400, 120, 'chi_sim')"), "打开设置窗口");
  const auto found = script_.integers("FindText('设置窗口', 0, 0, 0, 0, 'chi_sim')");
  ASSERT_EQ(found.size(), 5u);
  EXPECT_NEAR(found[0], boxes[0].x + boxes[0].width / 2, boxes[0].width / 4 + kSlack);
  EXPECT_NEAR(found[1], boxes[0].y, kSlack);
}

TEST(ScreenTextWithoutEngine, SaysWhatToInstallOnceAndReadsNothing) {
  tapline::system::set_ocr_library_name("libtesseract-absent-for-tapline-tests.so.5");
  Script script;
  testing::internal::CaptureStderr();
  EXPECT_EQ(script.text("GetScreenText(0, 0, 0, 0)"), "<nil>");
  EXPECT_EQ(script.integers("FindText('Save', 0, 0, 0, 0)"), (std::vector<int64_t>{-1, -1}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "GetScreenText: no text engine: libtesseract-absent-for-tapline-tests.so.5 cannot be "
            "loaded; the Debian packages tesseract-ocr and tesseract-ocr-eng install it\n");
  tapline::system::set_ocr_library_name(nullptr);
}

TEST(ScreenTextLanguages, MissingDataNamesItsPackagesOnce) {
  if (!have_language("eng")) GTEST_SKIP() << "no text engine with English data installed";
  Script script;
  testing::internal::CaptureStderr();
  EXPECT_EQ(script.text("GetScreenText(0, 0, 0, 0, 'xx_absent')"), "<nil>");
  EXPECT_EQ(script.text("GetScreenText(0, 0, 0, 0, 'xx_absent')"), "<nil>");
  // Read with the languages there are, and the missing one said.
  script.text("GetScreenText(0, 0, 0, 0, 'eng+yy_absent')");
  EXPECT_EQ(script.text("GetScreenText(0, 0, 0, 0, '../eng')"), "<nil>");
  EXPECT_EQ(script.text("GetScreenText(0, 0, 0, 0, ' ')"), "<nil>");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "GetScreenText: the text engine has no language data for \"xx_absent\"; install the "
            "Debian packages tesseract-ocr-xx-absent\n"
            "GetScreenText: the text engine has no language data for \"eng+yy_absent\"; install "
            "the Debian packages tesseract-ocr-yy-absent\n"
            "GetScreenText: \"../eng\" is no language name such as eng or chi_sim+eng; nothing "
            "is read\n");
}

TEST(ScreenTextCheck, TapLineCheckKnowsBothFunctions) {
  tapline::testing::TempFile script(
      "GetScreenText() FindText('a', 1, 2, 3, 4, 'eng')\n"
      "GetScreenText(1, 2, 3, 4, 'eng', 6)\nFindText()\nGetScreenTxt()\n");
  const auto run =
      tapline::testing::run_program(tapline::testing::tapline_binary(), {"--check", script.path()});
  const std::string& p = script.path();
  EXPECT_EQ(run.err, p + ":2: warning: GetScreenText called with 6 arguments; it takes 0 to 5\n" +
                         p + ":3: warning: FindText called with 0 arguments; it takes 1 to 6\n" +
                         p +
                         ":4: warning: call of unknown global 'GetScreenTxt' (did you mean "
                         "'GetScreenText'?)\n");
}

// The console program on a picture screen, the language from TAPLINE_OCR_LANG, tracing on.
TEST(ScreenTextTrace, PicturesAndLinesOfTheTextCalls) {
  if (!have_language("eng")) GTEST_SKIP() << "no text engine with English data installed";
  tapline::testing::TempDir dir;
  const DrawnScreen screen;
  const std::string picture = dir.write("screen.bmp", tapline::testing::make_bmp(screen.image));
  const auto run = tapline::testing::run_tapline_script(
      "print(FindText('changes'))\nprint(GetScreenText(0, 120, 400, 200))\n",
      {"TAPLINE_SCREEN=" + picture, "TAPLINE_TRACE=" + dir.file("trace"), "TAPLINE_OCR_LANG=eng",
       "TAPLINE_HOST_MESSAGES=stderr"});
  EXPECT_EQ(run.status, 0) << run.err;
  const InkBox& changes = screen.lines[2].boxes[1];
  std::string height_field = "\t";  // appended: GCC 12 -O3 warns wrongly on "\t" + string
  height_field += std::to_string(changes.height);
  EXPECT_NE(run.err.find(height_field), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Save changes\t"), std::string::npos) << run.err;
  const std::string first =
      tapline::testing::shell_output("cat " + dir.file("trace/0001-FindText.txt") + " " +
                                     dir.file("trace/0002-GetScreenText.txt"));
  EXPECT_NE(first.find("FindText(\"changes\") -> "), std::string::npos) << first;
  EXPECT_NE(first.find(" 12 words read;"), std::string::npos) << first;
  EXPECT_NE(first.find("GetScreenText(0, 120, 400, 200) -> 12 bytes of text; 2 words read"),
            std::string::npos)
      << first;
  EXPECT_EQ(access(dir.file("trace/0001-FindText.png").c_str(), R_OK), 0);
}

}  // namespace
