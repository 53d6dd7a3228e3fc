// Reading the words in a part of the screen with the text engine (system/ocr_library),
// for GetScreenText and FindText.
#pragma once

#include <cstdint>
#include <lua.hpp>
#include <map>
#include <string>
#include <vector>

#include "image/search.h"
#include "image/text_picture.h"
#include "script/word_match.h"
#include "system/ocr_library.h"

namespace tapline::script {

// One engine per language, made at its first use and kept until the script's state is
// closed: making one loads its language data, which takes longer than reading a region.
class TextReader {
 public:
  TextReader() = default;
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;
  ~TextReader();

  // Reads the words in `region` of `grab` (which holds it) into words(). False, with one
  // line on standard error in the name of `function` the first time for each cause, when
  // the engine or the language's data is not installed.
  bool read(const char* function, const image::PixelView& grab, image::SearchRegion region,
            const std::string& language);
  // The words of the last read, in reading order, in screen pixels.
  const std::vector<ReadWord>& words() const { return words_; }

 private:
  system::OcrHandle* engine_for(const char* function, const std::string& language);

  system::OcrLibrary library_;
  bool library_tried_ = false;
  bool bad_name_said_ = false;
  // nullptr for a language whose data could not be loaded, so that it is said once.
  std::map<std::string, system::OcrHandle*> engines_;
  // What the engine reads and what it read, reused from call to call.
  image::GreyPicture picture_;
  std::vector<ReadWord> words_;
};

// The reader of the script's state, made at first use and ended with the state.
TextReader& text_reader(lua_State* L);

// The language argument at `index` when it is a non-empty text, else TAPLINE_OCR_LANG
// when set, else "eng".
std::string text_language(lua_State* L, int index);

// How much a region of this height is scaled up before it is read: the engine reads
// letters best some 20 to 40 pixels tall, twice to three times the height of text on a
// screen; a taller region is read as it is, its text being larger or its reading slower
// than scaling repays.
int text_scale_for(int region_height);

}  // namespace tapline::script
