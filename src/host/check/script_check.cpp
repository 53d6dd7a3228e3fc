#include "host/check/script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <lua.hpp>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/check/chunk_calls.h"
#include "host/run/run_script.h"
#include "script/script_library.h"
#include "system/console.h"

namespace tapline {
namespace {

using script::ScriptSignature;

// The most of one file that is read: far beyond any script written by hand or recorded,
// and small enough that compiling it stays within a few hundred megabytes.
constexpr size_t kMostScriptBytes = size_t{64} << 20;

// The globals a script starts with: the standard libraries as prepared for a run, printf,
// author and the script library.
std::set<std::string> prepared_globals() {
  std::set<std::string> names;
  lua_State* L = create_script_state();
  if (L == nullptr) return names;
  lua_pushglobaltable(L);
  lua_pushnil(L);
  while (lua_next(L, -2) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING) names.insert(lua_tostring(L, -2));
    lua_pop(L, 1);
  }
  lua_close(L);
  return names;
}

std::map<std::string, const ScriptSignature*> library_signatures() {
  std::map<std::string, const ScriptSignature*> signatures;
  // A later row of the same name is the one a script sees.
  for (const script::ScriptLibraryRow& row : script::script_globals()) {
    signatures[row.name] = &script::signature_of(row);
  }
  return signatures;
}

// "1 or 5", "2 to 4", "no arguments", "any number of arguments".
std::string accepted_counts(const ScriptSignature& signature) {
  constexpr int kAny = std::numeric_limits<int>::max();
  std::set<std::pair<int, int>> ranges;
  for (const script::ScriptForm& form : script::call_forms(signature)) {
    int required = 0, most = 0;
    for (const script::ScriptParam& param : form) {
      if (param.variadic) {
        most = kAny;
        break;
      }
      ++most;
      if (!param.optional) required = most;
    }
    ranges.insert({required, most});
  }
  std::vector<std::string> parts;
  for (const auto& [low, high] : ranges) {
    if (high == kAny) {
      parts.push_back("at least " + std::to_string(low));
    } else if (low == high) {
      parts.push_back(std::to_string(low));
    } else if (high == low + 1) {
      parts.push_back(std::to_string(low));
      parts.push_back(std::to_string(high));
    } else {
      parts.push_back(std::to_string(low) + " to " + std::to_string(high));
    }
  }
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " or " : ", ";
    text += parts[i];
  }
  return text == "0" ? "no arguments" : text;
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The nearest known global within two edits, for a hint; empty when none is close.
std::string nearest(const std::string& name, const std::set<std::string>& known) {
  std::string best;
  size_t best_distance = 3;
  for (const std::string& candidate : known) {
    // The lengths alone differ by no fewer edits; a long name costs nothing here.
    const size_t least = name.size() > candidate.size() ? name.size() - candidate.size()
                                                        : candidate.size() - name.size();
    if (least >= best_distance) continue;
    const size_t distance = edit_distance(name, candidate);
    if (distance < best_distance) best = candidate, best_distance = distance;
  }
  return best;
}

// The file's text as the engine's file loader sees it: a leading byte-order mark is
// dropped and a first line starting with '#' is blanked (its line end stays, so line
// numbers hold). Says on standard error why not, when the file cannot be read.
bool read_script(const char* path, std::string& text) {
  struct stat info {};
  // Looked at before opening: opening a device can itself do something, and reading a
  // FIFO waits for a writer.
  if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
    system::console_diagnostic("cannot check %s: not a regular file\n", path);
    return false;
  }
  // Non-blocking, so that a FIFO put there since cannot hold the open up either.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    system::console_diagnostic("cannot read %s: %s\n", path, std::strerror(errno));
    return false;
  }
  std::string refusal;
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    refusal = "not a regular file";
  } else {
    // Read up to one byte past the limit: the size from fstat may be stale, or zero for
    // files the kernel makes up as they are read.
    text.resize(std::min(static_cast<size_t>(info.st_size), kMostScriptBytes) + 1);
    size_t done = 0;
    while (done <= kMostScriptBytes) {
      if (done == text.size()) text.resize(std::min(2 * done, kMostScriptBytes + 1));
      const ssize_t got = read(fd, text.data() + done, text.size() - done);
      if (got > 0) {
        done += static_cast<size_t>(got);
      } else if (got == 0) {
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      }
    }
    text.resize(done);
    if (done > kMostScriptBytes)
      refusal =
          "larger than " + std::to_string(kMostScriptBytes >> 20) + " MiB, the most --check reads";
  }
  close(fd);
  if (!refusal.empty()) {
    system::console_diagnostic("cannot check %s: %s\n", path, refusal.c_str());
    return false;
  }
  if (error != 0) {
    system::console_diagnostic("cannot read %s: %s\n", path, std::strerror(error));
    return false;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  if (text.starts_with("#")) text.erase(0, std::min(text.find('\n'), text.size()));
  return true;
}

// Where the calls of one global with one number of arguments first occur, and how many
// there are: each kind of suspect call is reported once, however often a script makes it.
struct CallSites {
  int first_line;
  size_t count;
};

// What a chunk does with globals, gathered as its bytecode is read: memory grows with the
// distinct names and argument counts, not with the number of calls.
struct ChunkGlobals {
  std::set<std::string, std::less<>> assigned;
  std::map<std::string, std::map<int, CallSites>, std::less<>> calls;  // by argument count

  void add(const GlobalUse& use) {
    if (use.kind == GlobalUse::kAssign) {
      if (!assigned.contains(use.name)) assigned.emplace(use.name);
      return;
    }
    auto named = calls.find(use.name);
    if (named == calls.end()) named = calls.try_emplace(std::string(use.name)).first;
    CallSites& sites =
        named->second.try_emplace(use.argument_count, CallSites{use.line, 0}).first->second;
    sites.first_line = std::min(sites.first_line, use.line);
    ++sites.count;
  }
};

struct Warning {
  int line;
  std::string text;
};

// "; 12 such calls, the first here" after the warning for a call made more than once.
std::string repeats(size_t count) {
  return count > 1 ? "; " + std::to_string(count) + " such calls, the first here" : "";
}

std::vector<Warning> warnings_for(const ChunkGlobals& globals, const std::set<std::string>& known,
                                  const std::map<std::string, const ScriptSignature*>& signatures) {
  std::vector<Warning> warnings;
  for (const auto& [name, by_count] : globals.calls) {
    if (globals.assigned.contains(name)) continue;
    if (!known.contains(name)) {
      CallSites all{std::numeric_limits<int>::max(), 0};
      for (const auto& [argument_count, sites] : by_count) {
        all.first_line = std::min(all.first_line, sites.first_line);
        all.count += sites.count;
      }
      const std::string hint = nearest(name, known);
      warnings.push_back(
          {all.first_line, "warning: call of unknown global '" + name + "'" +
                               (hint.empty() ? "" : " (did you mean '" + hint + "'?)") +
                               repeats(all.count)});
      continue;
    }
    const auto signature = signatures.find(name);
    if (signature == signatures.end()) continue;
    for (const auto& [argument_count, sites] : by_count) {
      if (argument_count < 0 || script::accepts_argument_count(*signature->second, argument_count))
        continue;
      warnings.push_back(
          {sites.first_line, "warning: " + name + " called with " + std::to_string(argument_count) +
                                 " argument" + (argument_count == 1 ? "" : "s") + "; it takes " +
                                 accepted_counts(*signature->second) + repeats(sites.count)});
    }
  }
  std::stable_sort(warnings.begin(), warnings.end(),
                   [](const Warning& a, const Warning& b) { return a.line < b.line; });
  return warnings;
}

// Compiles source text and reads the calls from its bytecode. False, said on standard
// error, when it does not compile.
bool read_source(const char* path, std::string& text, ChunkGlobals& globals,
                 ChunkReading& reading) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    system::console_diagnostic("out of memory checking %s\n", path);
    return false;
  }
  // The chunk name "=" makes the engine's messages start with ":LINE:", whatever the
  // length of the path, so the full path can be put in front.
  if (luaL_loadbufferx(L, text.data(), text.size(), "=", "t") != LUA_OK) {
    const char* message = lua_tostring(L, -1);
    system::console_eprintf("%s%s\n", path, message != nullptr ? message : ": does not load");
    lua_close(L);
    return false;
  }
  std::string().swap(text);  // compiled: a large text need not stay beside its bytecode
  reading = global_uses(L, [&](const GlobalUse& use) { globals.add(use); });
  lua_close(L);
  return true;
}

bool check_one(const char* path, const std::set<std::string>& known,
               const std::map<std::string, const ScriptSignature*>& signatures) {
  std::string text;
  if (!read_script(path, text)) return false;
  ChunkGlobals globals;
  ChunkReading reading = ChunkReading::read;
  // A precompiled chunk is read here and never given to the engine's loader, which
  // trusts it: crafted bytecode nested deeply enough overflows the loader's stack.
  const bool precompiled = text.starts_with(LUA_SIGNATURE[0]);
  if (precompiled) {
    reading = read_global_uses(text, [&](const GlobalUse& use) { globals.add(use); });
  } else if (!read_source(path, text, globals, reading)) {
    return false;
  }
  switch (reading) {
    case ChunkReading::read:
      break;
    case ChunkReading::other_format:
      system::console_diagnostic("%s: not precompiled by this engine version on this machine\n",
                                 path);
      return false;
    case ChunkReading::damaged:
      system::console_diagnostic("%s: %s, but its calls cannot be read\n", path,
                                 precompiled ? "precompiled" : "compiled");
      return false;
    case ChunkReading::too_deep:
      system::console_diagnostic("%s: functions nested more than %d levels deep; not checked\n",
                                 path, kMostNestedFunctions);
      return false;
  }
  if (precompiled) {
    system::console_eprintf(
        "%s: note: precompiled chunk, checked only for its calls; the engine runs precompiled "
        "code unverified, so run only chunks from a source you trust\n",
        path);
  }
  const std::vector<Warning> warnings = warnings_for(globals, known, signatures);
  for (const Warning& warning : warnings)
    system::console_eprintf("%s:%d: %s\n", path, warning.line, warning.text.c_str());
  return warnings.empty();
}

}  // namespace

int check_scripts(int count, char** paths) {
  if (count <= 0) {
    system::console_diagnostic("--check needs one or more script files: tapline --check %s\n",
                               kCheckArguments);
    return 1;
  }
  const std::set<std::string> known = prepared_globals();
  const auto signatures = library_signatures();
  bool clean = true;
  for (int i = 0; i < count; ++i) clean = check_one(paths[i], known, signatures) && clean;
  return clean ? 0 : 1;
}

}  // namespace tapline
