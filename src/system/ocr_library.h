// The text engine's C interface (libtesseract), loaded at run time so that the program
// starts and runs without the engine installed. Only the few entry points the screen text
// functions use are declared here, so the build needs none of the engine's headers.
#pragma once

namespace tapline::system {

// The engine's handles, opaque to us.
struct OcrHandle;
struct OcrResultIterator;
struct OcrPageIterator;

// The engine's iterator levels and page layouts used here, as its C interface numbers them.
enum OcrLevel : int { kOcrTextLine = 2, kOcrWord = 3 };
enum OcrPageLayout : int { kOcrSparseText = 11 };  // as much text as is found, in no set order

struct OcrLibrary {
  // True only when the library loaded and every entry point was found, so a caller
  // checks this one flag.
  bool loaded = false;
  OcrHandle* (*create)() = nullptr;
  void (*destroy)(OcrHandle*) = nullptr;
  // 0 when the language data of `language` ("eng", "chi_sim+eng") was found and loaded.
  int (*init)(OcrHandle*, const char* data_path, const char* language) = nullptr;
  void (*end)(OcrHandle*) = nullptr;
  // The languages whose data loaded, ended by nullptr; freed by delete_text_array.
  char** (*loaded_languages)(const OcrHandle*) = nullptr;
  void (*delete_text_array)(char**) = nullptr;
  int (*set_variable)(OcrHandle*, const char* name, const char* value) = nullptr;
  void (*set_page_layout)(OcrHandle*, OcrPageLayout) = nullptr;
  void (*set_image)(OcrHandle*, const unsigned char* bytes, int width, int height,
                    int bytes_per_pixel, int bytes_per_line) = nullptr;
  void (*set_source_resolution)(OcrHandle*, int pixels_per_inch) = nullptr;
  int (*recognize)(OcrHandle*, void* monitor) = nullptr;  // 0 when done
  OcrResultIterator* (*iterator)(OcrHandle*) = nullptr;   // nullptr when nothing was read
  void (*delete_iterator)(OcrResultIterator*) = nullptr;
  int (*next)(OcrResultIterator*, OcrLevel) = nullptr;  // false past the last
  char* (*text)(const OcrResultIterator*, OcrLevel) = nullptr;
  float (*confidence)(const OcrResultIterator*, OcrLevel) = nullptr;
  OcrPageIterator* (*page_iterator)(OcrResultIterator*) = nullptr;
  int (*is_at_beginning_of)(const OcrPageIterator*, OcrLevel) = nullptr;
  int (*bounding_box)(const OcrPageIterator*, OcrLevel, int* left, int* top, int* right,
                      int* bottom) = nullptr;
  void (*delete_text)(const char*) = nullptr;
};

// Loads the library (it stays loaded for the life of the process) and looks up the entry
// points. The engine's work is done on one thread (see ocr_library.cpp).
OcrLibrary load_ocr_library();

// The file name the library is loaded by, "libtesseract.so.5" unless replaced. Replacing
// it lets tests run as on a machine without the engine; nullptr restores the default.
void set_ocr_library_name(const char* file_name);
const char* ocr_library_name();

}  // namespace tapline::system
