#include "system/ocr_library.h"

#include <dlfcn.h>

#include <cstdlib>

#include "system/dynamic_library.h"

namespace tapline::system {
namespace {

constexpr const char* kDefaultName = "libtesseract.so.5";
const char* library_name = kDefaultName;

}  // namespace

OcrLibrary load_ocr_library() {
  OcrLibrary ocr;
  // The engine runs its loops on as many as ten OpenMP threads, which wait for work by
  // spinning: beside other busy programs that made each read several times slower than
  // on one thread. Their number is fixed when the OpenMP library is loaded, along with
  // the engine, and only from the environment: OMP_THREAD_LIMIT is set to 1 for that load
  // (unless the user set it) and taken away again, so that child processes never see it.
  const bool limit_threads = std::getenv("OMP_THREAD_LIMIT") == nullptr;
  if (limit_threads) ::setenv("OMP_THREAD_LIMIT", "1", 0);
  void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
  if (limit_threads) ::unsetenv("OMP_THREAD_LIMIT");
  if (library == nullptr) return ocr;
  look_up(library, "TessBaseAPICreate", ocr.create);
  look_up(library, "TessBaseAPIDelete", ocr.destroy);
  look_up(library, "TessBaseAPIInit3", ocr.init);
  look_up(library, "TessBaseAPIEnd", ocr.end);
  look_up(library, "TessBaseAPIGetLoadedLanguagesAsVector", ocr.loaded_languages);
  look_up(library, "TessDeleteTextArray", ocr.delete_text_array);
  look_up(library, "TessBaseAPISetVariable", ocr.set_variable);
  look_up(library, "TessBaseAPISetPageSegMode", ocr.set_page_layout);
  look_up(library, "TessBaseAPISetImage", ocr.set_image);
  look_up(library, "TessBaseAPISetSourceResolution", ocr.set_source_resolution);
  look_up(library, "TessBaseAPIRecognize", ocr.recognize);
  look_up(library, "TessBaseAPIGetIterator", ocr.iterator);
  look_up(library, "TessResultIteratorDelete", ocr.delete_iterator);
  look_up(library, "TessResultIteratorNext", ocr.next);
  look_up(library, "TessResultIteratorGetUTF8Text", ocr.text);
  look_up(library, "TessResultIteratorConfidence", ocr.confidence);
  look_up(library, "TessResultIteratorGetPageIterator", ocr.page_iterator);
  look_up(library, "TessPageIteratorIsAtBeginningOf", ocr.is_at_beginning_of);
  look_up(library, "TessPageIteratorBoundingBox", ocr.bounding_box);
  look_up(library, "TessDeleteText", ocr.delete_text);
  ocr.loaded = ocr.create && ocr.destroy && ocr.init && ocr.end && ocr.loaded_languages &&
               ocr.delete_text_array && ocr.set_variable && ocr.set_page_layout && ocr.set_image &&
               ocr.set_source_resolution && ocr.recognize && ocr.iterator && ocr.delete_iterator &&
               ocr.next && ocr.text && ocr.confidence && ocr.page_iterator &&
               ocr.is_at_beginning_of && ocr.bounding_box && ocr.delete_text;
  return ocr;
}

void set_ocr_library_name(const char* file_name) {
  library_name = file_name != nullptr ? file_name : kDefaultName;
}

const char* ocr_library_name() { return library_name; }

}  // namespace tapline::system
