#include "host/check/chunk_calls.h"

#include <cstdint>
#include <cstring>
#include <string_view>

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

class DumpReader {
 public:
  explicit DumpReader(std::string_view data) : data_(data) {}

  bool ok() const { return ok_; }

  bool read_header() {
    if (!take(kSignature.size()).starts_with(kSignature)) return fail();
    const std::string_view sizes = take(5);
    if (!ok_) return false;
    int_size_ = static_cast<unsigned char>(sizes[0]);
    size_t_size_ = static_cast<unsigned char>(sizes[1]);
    instruction_size_ = static_cast<unsigned char>(sizes[2]);
    integer_size_ = static_cast<unsigned char>(sizes[3]);
    number_size_ = static_cast<unsigned char>(sizes[4]);
    if (instruction_size_ != 4 || int_size_ > 8 || size_t_size_ > 8) return fail();
    // The integer check value 0x5678, read in the byte order this reader assumes.
    if (integer_size_ > 8 || read_unsigned(integer_size_) != kIntegerCheck) return fail();
    take(number_size_);  // the check value for floats
    take(1);             // the main function's count of upvalues
    return ok_;
  }

  void read_function(std::vector<GlobalUse>& uses) {
    read_string();  // source
    read_int();     // first line
    read_int();     // last line
    take(3);        // parameters, vararg flag, stack size
    std::vector<uint32_t> code(read_count());
    for (uint32_t& instruction : code) instruction = static_cast<uint32_t>(read_unsigned(4));

    std::vector<std::optional<std::string>> string_constants(read_count());
    for (auto& constant : string_constants) {
      const auto type = static_cast<int>(read_unsigned(1));
      if (type == kNil) continue;
      if (type == kBoolean) {
        take(1);
      } else if (type == kFloat) {
        take(number_size_);
      } else if (type == kInteger) {
        take(integer_size_);
      } else if (type == kShortString || type == kLongString) {
        constant = read_string();
      } else {
        fail();
      }
      if (!ok_) return;
    }
    const size_t upvalue_count = read_count();
    take(2 * upvalue_count);

    std::vector<GlobalUse> nested;
    const size_t function_count = read_count();
    for (size_t i = 0; i < function_count && ok_; ++i) read_function(nested);

    std::vector<int> lines(read_count());
    for (int& line : lines) line = static_cast<int>(read_int());
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
    scan_code(code, string_constants, lines, environment, uses);
    uses.insert(uses.end(), nested.begin(), nested.end());
  }

 private:
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

  uint64_t read_unsigned(size_t size) {
    const std::string_view bytes = take(size);
    uint64_t value = 0;
    // The dump is in the machine's own byte order; the header's check value has shown it
    // to be little-endian.
    for (size_t i = bytes.size(); i-- > 0;) {
      value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
  }

  int64_t read_int() {
    const uint64_t value = read_unsigned(int_size_);
    if (int_size_ < 8 && (value >> (8 * int_size_ - 1)) != 0) {
      return static_cast<int64_t>(value) - (int64_t{1} << (8 * int_size_));
    }
    return static_cast<int64_t>(value);
  }

  // A count of following items, bounded by the bytes left so that a damaged dump cannot
  // ask for a huge allocation.
  size_t read_count() {
    const int64_t count = read_int();
    if (!ok_ || count < 0 || static_cast<uint64_t>(count) > data_.size() - position_) {
      fail();
      return 0;
    }
    return static_cast<size_t>(count);
  }

  std::string read_string() {
    uint64_t size = read_unsigned(1);
    if (size == 0xFF) size = read_unsigned(size_t_size_);
    if (size == 0) return {};
    return std::string(take(size - 1));
  }

  void scan_code(const std::vector<uint32_t>& code,
                 const std::vector<std::optional<std::string>>& constants,
                 const std::vector<int>& lines, int environment,
                 std::vector<GlobalUse>& uses) const {
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
    for (size_t pc = 0; pc < code.size(); ++pc) {
      const uint32_t instruction = code[pc];
      const unsigned op = instruction & 0x3F;
      const unsigned a = (instruction >> 6) & 0xFF;
      const unsigned c = (instruction >> 14) & 0x1FF;
      const unsigned b = (instruction >> 23) & 0x1FF;
      const int line = pc < lines.size() ? lines[pc] : 0;
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
              uses.push_back({GlobalUse::kAssign, **name, line, 0});
            }
          }
          break;
        case kCall:
        case kTailCall:
          if (loaded[a] != nullptr) {
            uses.push_back({GlobalUse::kCall, *loaded[a], line, b == 0 ? -1 : int(b) - 1});
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
  size_t position_ = 0;
  bool ok_ = true;
  size_t int_size_ = 4, size_t_size_ = 8, instruction_size_ = 4, integer_size_ = 8,
         number_size_ = 8;
};

int collect_dump(lua_State*, const void* bytes, size_t size, void* target) {
  static_cast<std::string*>(target)->append(static_cast<const char*>(bytes), size);
  return 0;
}

}  // namespace

std::optional<std::vector<GlobalUse>> global_uses(lua_State* L) {
  std::string dump;
  if (lua_dump(L, collect_dump, &dump, 0) != 0) return std::nullopt;
  DumpReader reader(dump);
  if (!reader.read_header()) return std::nullopt;
  std::vector<GlobalUse> uses;
  reader.read_function(uses);
  if (!reader.ok()) return std::nullopt;
  return uses;
}

}  // namespace tapline
