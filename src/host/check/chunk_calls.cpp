#include "host/check/chunk_calls.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tapline {
namespace {

// The engine's bytecode as lua_dump writes it for version 5.3 (header, then each
// function: source, lines, sizes, code, constants, upvalues, nested functions, debug
// information). Only what global calls and assignments need is decoded.
// Signature, version 5.3, official format, then the bytes that catch text-mode damage.
constexpr std::string_view kSignature{"\x1bLua\x53\x00\x19\x93\r\n\x1a\n", 12};

enum Opcode : unsigned {
  kGetTabUp = 6,
  kSetTabUp = 8,
  kSetUpval = 9,
  kSetTable = 10,
  kJmp = 30,
  kEq = 31,
  kLt = 32,
  kLe = 33,
  kTest = 34,
  kCall = 36,
  kTailCall = 37,
  kReturn = 38,
  kSetList = 43,
  kExtraArg = 46,
};
constexpr unsigned kConstantBit = 1u << 8;
constexpr uint64_t kIntegerCheck = 0x5678;  // an RK operand that names a constant

// Constant type tags of the dump.
constexpr int kNil = 0, kBoolean = 1, kFloat = 3, kInteger = 19, kShortString = 4, kLongString = 20;

// The header's type sizes and check values as this build of the engine writes them; the
// engine's loader refuses any other, and so does this reader.
constexpr size_t kInstructionSize = 4;
constexpr unsigned char kTypeSizes[] = {sizeof(int), sizeof(size_t), kInstructionSize,
                                        sizeof(lua_Integer), sizeof(lua_Number)};
constexpr lua_Number kFloatCheck = 370.5;

// A number of up to 8 bytes of the dump. The dump is in the machine's own byte order; the
// header's check value has shown it to be little-endian.
uint64_t unsigned_of(std::string_view bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

// An int of the dump, sign and all.
int int_of(std::string_view bytes) {
  return static_cast<int>(static_cast<unsigned int>(unsigned_of(bytes)));
}

class DumpReader {
 public:
  DumpReader(std::string_view data, const GlobalUseSink& sink) : data_(data), sink_(sink) {}

  ChunkReading read() {
    if (!read_header()) return ChunkReading::other_format;
    take(1);  // the main function's count of upvalues
    read_function(1);
    if (too_deep_) return ChunkReading::too_deep;
    return ok_ ? ChunkReading::read : ChunkReading::damaged;
  }

 private:
  bool read_header() {
    if (!take(kSignature.size()).starts_with(kSignature)) return false;
    const std::string_view sizes = take(sizeof kTypeSizes);
    if (!ok_ || std::memcmp(sizes.data(), kTypeSizes, sizeof kTypeSizes) != 0) return false;
    // The integer check value 0x5678, read in the byte order this reader assumes.
    if (read_unsigned(sizeof(lua_Integer)) != kIntegerCheck) return false;
    const std::string_view float_check = take(sizeof(lua_Number));
    lua_Number value = 0;
    if (ok_) std::memcpy(&value, float_check.data(), sizeof value);
    return ok_ && value == kFloatCheck;
  }

  void read_function(int depth) {
    if (depth > kMostNestedFunctions) {
      too_deep_ = true;
      fail();
      return;
    }
    read_string();  // source
    read_int();     // first line
    read_int();     // last line
    take(3);        // parameters, vararg flag, stack size
    // Code and lines stay in the dump, read where they lie: a huge chunk is not copied.
    const std::string_view code = take(kInstructionSize * read_count());

    std::vector<std::optional<std::string>> string_constants(read_count());
    for (auto& constant : string_constants) {
      const auto type = static_cast<int>(read_unsigned(1));
      if (type == kNil) continue;
      if (type == kBoolean) {
        take(1);
      } else if (type == kFloat) {
        take(sizeof(lua_Number));
      } else if (type == kInteger) {
        take(sizeof(lua_Integer));
      } else if (type == kShortString || type == kLongString) {
        constant = read_string();
      } else {
        fail();
      }
      if (!ok_) return;
    }
    const size_t upvalue_count = read_count();
    take(2 * upvalue_count);

    const size_t function_count = read_count();
    for (size_t i = 0; i < function_count && ok_; ++i) read_function(depth + 1);

    const std::string_view lines = take(sizeof(int) * read_count());
    const size_t local_count = read_count();
    for (size_t i = 0; i < local_count && ok_; ++i) {
      read_string();
      read_int();
      read_int();
    }
    int environment = -1;  // the upvalue that holds the globals (_ENV)
    const size_t name_count = read_count();
    for (size_t i = 0; i < name_count && ok_; ++i) {
      if (read_string() == "_ENV") environment = static_cast<int>(i);
    }
    if (!ok_) return;
    scan_code(code, string_constants, lines, environment);
  }

  bool fail() {
    ok_ = false;
    return false;
  }

  std::string_view take(size_t count) {
    if (!ok_ || data_.size() - position_ < count) {
      fail();
      return {};
    }
    const std::string_view part = data_.substr(position_, count);
    position_ += count;
    return part;
  }

  uint64_t read_unsigned(size_t size) { return unsigned_of(take(size)); }

  int read_int() { return int_of(take(sizeof(int))); }

  // A count of following items, bounded by the bytes left so that a damaged dump cannot
  // ask for a huge allocation.
  size_t read_count() {
    const int count = read_int();
    if (!ok_ || count < 0 || static_cast<size_t>(count) > data_.size() - position_) {
      fail();
      return 0;
    }
    return static_cast<size_t>(count);
  }

  std::string read_string() {
    uint64_t size = read_unsigned(1);
    if (size == 0xFF) size = read_unsigned(sizeof(size_t));
    if (size == 0) return {};
    return std::string(take(size - 1));
  }

  void scan_code(std::string_view code, const std::vector<std::optional<std::string>>& constants,
                 std::string_view lines, int environment) const {
    if (environment < 0) return;
    auto global_name = [&](unsigned operand) -> const std::optional<std::string>* {
      if ((operand & kConstantBit) == 0) return nullptr;
      const unsigned index = operand & ~kConstantBit;
      if (index >= constants.size() || !constants[index]) return nullptr;
      return &constants[index];
    };
    // Which register holds a global just read, and which one. A call through that
    // register is a call of that global.
    std::vector<const std::string*> loaded;
    const size_t line_count = lines.size() / sizeof(int);
    for (size_t pc = 0; pc < code.size() / kInstructionSize; ++pc) {
      const auto instruction =
          static_cast<uint32_t>(unsigned_of(code.substr(kInstructionSize * pc, kInstructionSize)));
      const unsigned op = instruction & 0x3F;
      const unsigned a = (instruction >> 6) & 0xFF;
      const unsigned c = (instruction >> 14) & 0x1FF;
      const unsigned b = (instruction >> 23) & 0x1FF;
      const int line = pc < line_count ? int_of(lines.substr(sizeof(int) * pc, sizeof(int))) : 0;
      if (loaded.size() <= a + 1) loaded.resize(a + 2, nullptr);
      switch (op) {
        case kGetTabUp: {
          const auto* name = static_cast<int>(b) == environment ? global_name(c) : nullptr;
          loaded.resize(a);
          loaded.push_back(name != nullptr ? &**name : nullptr);
          break;
        }
        case kSetTabUp:
          if (static_cast<int>(a) == environment) {
            if (const auto* name = global_name(b)) {
              sink_({GlobalUse::kAssign, **name, line, 0});
            }
          }
          break;
        case kCall:
        case kTailCall:
          if (loaded[a] != nullptr) {
            sink_({GlobalUse::kCall, *loaded[a], line, b == 0 ? -1 : int(b) - 1});
          }
          loaded.resize(a);
          break;
        case kSetUpval:
        case kSetTable:
        case kJmp:
        case kEq:
        case kLt:
        case kLe:
        case kTest:
        case kReturn:
        case kSetList:
        case kExtraArg:
          break;  // these write no register
        default:
          // Everything else writes register A (some also the ones above it); registers
          // above A hold nothing pending once A is written.
          loaded.resize(a);
          break;
      }
    }
  }

  std::string_view data_;
  const GlobalUseSink& sink_;
  size_t position_ = 0;
  bool ok_ = true;
  bool too_deep_ = false;
};

int collect_dump(lua_State*, const void* bytes, size_t size, void* target) {
  static_cast<std::string*>(target)->append(static_cast<const char*>(bytes), size);
  return 0;
}

}  // namespace

ChunkReading read_global_uses(std::string_view chunk, const GlobalUseSink& sink) {
  return DumpReader(chunk, sink).read();
}

ChunkReading global_uses(lua_State* L, const GlobalUseSink& sink) {
  std::string dump;
  if (lua_dump(L, collect_dump, &dump, 0) != 0) return ChunkReading::other_format;
  return read_global_uses(dump, sink);
}

}  // namespace tapline
