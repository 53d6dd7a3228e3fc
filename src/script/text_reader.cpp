#include "script/text_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <new>

#include "image/text_picture.h"
#include "system/console.h"

namespace tapline::script {
namespace {

// Screens show some 96 pixels per inch; the engine sizes its expectations of letters by it.
constexpr int kScreenPixelsPerInch = 96;
// How far around a pixel its background is judged, in screen pixels: beyond the strokes
// and gaps of screen letters, within the panels and buttons that hold them.
constexpr int kSurroundingsRadius = 12;

// Names of the engine's language data joined by "+", as they name its files: "chi_sim+eng".
bool is_language_name(const std::string& language) {
  constexpr size_t kLongest = 64;
  return !language.empty() && language.size() <= kLongest &&
         std::all_of(language.begin(), language.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '+' || c == '-';
         });
}

// The languages of "chi_sim+eng".
std::vector<std::string> languages_of(const std::string& language) {
  std::vector<std::string> languages;
  for (size_t start = 0; start <= language.size();) {
    const size_t end = std::min(language.find('+', start), language.size());
    if (end > start) languages.push_back(language.substr(start, end - start));
    start = end + 1;
  }
  return languages;
}

// The languages of `language` whose data the engine did not load (it goes on without
// them when another loaded), named by their Debian packages: "tesseract-ocr-chi-sim".
std::string missing_packages(const system::OcrLibrary& ocr, system::OcrHandle* engine,
                             const std::string& language) {
  std::vector<std::string> loaded;
  if (engine != nullptr) {
    char** names = ocr.loaded_languages(engine);
    for (char** name = names; name != nullptr && *name != nullptr; ++name) loaded.push_back(*name);
    ocr.delete_text_array(names);
  }
  std::string packages;
  for (const std::string& wanted : languages_of(language)) {
    if (std::find(loaded.begin(), loaded.end(), wanted) != loaded.end()) continue;
    if (!packages.empty()) packages += ' ';
    packages += "tesseract-ocr-";
    for (char c : wanted)
      packages += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return packages;
}

// The engine's words after a recognition, in screen pixels.
void collect_words(const system::OcrLibrary& ocr, system::OcrHandle* engine, int scale,
                   image::Point origin, std::vector<ReadWord>& words) {
  system::OcrResultIterator* iterator = ocr.iterator(engine);
  if (iterator == nullptr) return;
  const system::OcrPageIterator* page = ocr.page_iterator(iterator);
  do {
    char* text = ocr.text(iterator, system::kOcrWord);
    if (text == nullptr) continue;
    int left = 0, top = 0, right = 0, bottom = 0;
    ocr.bounding_box(page, system::kOcrWord, &left, &top, &right, &bottom);
    ReadWord word;
    word.text = text;
    ocr.delete_text(text);
    word.x = origin.x + left / scale;
    word.y = origin.y + top / scale;
    word.width = origin.x + (right + scale - 1) / scale - word.x;
    word.height = origin.y + (bottom + scale - 1) / scale - word.y;
    word.confidence = static_cast<int>(ocr.confidence(iterator, system::kOcrWord) + 0.5f);
    word.starts_line = ocr.is_at_beginning_of(page, system::kOcrTextLine) != 0;
    words.push_back(std::move(word));
  } while (ocr.next(iterator, system::kOcrWord));
  ocr.delete_iterator(iterator);
  leave_out_stray_marks(words);
}

int close_reader(lua_State* L) {
  static_cast<TextReader*>(lua_touserdata(L, 1))->~TextReader();
  return 0;
}

}  // namespace

TextReader::~TextReader() {
  for (const auto& [language, engine] : engines_) {
    if (engine == nullptr) continue;
    library_.end(engine);
    library_.destroy(engine);
  }
}

system::OcrHandle* TextReader::engine_for(const char* function, const std::string& language) {
  if (!library_tried_) {
    library_tried_ = true;
    library_ = system::load_ocr_library();
    if (!library_.loaded)
      system::console_diagnostic_from(
          function,
          "no text engine: %s cannot be loaded; the Debian packages tesseract-ocr and "
          "tesseract-ocr-eng install it\n",
          system::ocr_library_name());
  }
  if (!library_.loaded) return nullptr;
  if (!is_language_name(language)) {
    if (!bad_name_said_)
      system::console_diagnostic_from(
          function, "\"%.40s\" is no language name such as eng or chi_sim+eng; nothing is read\n",
          language.c_str());
    bad_name_said_ = true;
    return nullptr;
  }
  const auto known = engines_.find(language);
  if (known != engines_.end()) return known->second;
  system::OcrHandle* engine = library_.create();
  if (engine == nullptr) throw std::bad_alloc();
  // The engine's own notices would go to standard error, which carries only ours.
  library_.set_variable(engine, "debug_file", "/dev/null");
  // Light text on dark is made dark before reading (image/text_picture.h), so the engine
  // need not read doubtful lines a second time inverted.
  library_.set_variable(engine, "tessedit_do_invert", "0");
  const bool loaded = library_.init(engine, nullptr, language.c_str()) == 0;
  const std::string missing = missing_packages(library_, loaded ? engine : nullptr, language);
  if (!missing.empty())
    system::console_diagnostic_from(
        function,
        "the text engine has no language data for \"%s\"; install the Debian packages %s\n",
        language.c_str(), missing.c_str());
  if (loaded) {
    // Screens hold text scattered over panels, buttons and menus rather than columns.
    library_.set_page_layout(engine, system::kOcrSparseText);
  } else {
    library_.destroy(engine);
    engine = nullptr;
  }
  engines_.emplace(language, engine);
  return engine;
}

bool TextReader::read(const char* function, const image::PixelView& grab,
                      image::SearchRegion region, const std::string& language) {
  words_.clear();
  system::OcrHandle* engine = engine_for(function, language);
  if (engine == nullptr) return false;
  const int width = region.x2 - region.x1, height = region.y2 - region.y1;
  if (width <= 0 || height <= 0) return true;
  const int scale = text_scale_for(height);
  image::make_text_picture(grab, region, scale, kSurroundingsRadius * scale, picture_);
  library_.set_image(engine, picture_.levels.data(), picture_.width, picture_.height, 1,
                     picture_.width);
  library_.set_source_resolution(engine, kScreenPixelsPerInch * scale);
  if (library_.recognize(engine, nullptr) == 0)
    collect_words(library_, engine, scale, {region.x1, region.y1}, words_);
  return true;
}

TextReader& text_reader(lua_State* L) {
  static const char kKey = 0;  // its address names the reader in the registry
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, &kKey) == LUA_TUSERDATA) {
    auto* reader = static_cast<TextReader*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return *reader;
  }
  lua_pop(L, 1);
  auto* reader = new (lua_newuserdata(L, sizeof(TextReader))) TextReader();
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, close_reader);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kKey);
  return *reader;
}

std::string text_language(lua_State* L, int index) {
  if (lua_type(L, index) == LUA_TSTRING && lua_rawlen(L, index) > 0) return lua_tostring(L, index);
  const char* chosen = std::getenv("TAPLINE_OCR_LANG");
  return chosen != nullptr && *chosen != '\0' ? chosen : "eng";
}

int text_scale_for(int region_height) {
  if (region_height <= 80) return 3;
  if (region_height <= 400) return 2;
  return 1;
}

}  // namespace tapline::script
