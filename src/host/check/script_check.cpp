#include "host/check/script_check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <lua.hpp>
#include <map>
#include <set>
#include <string>

#include "host/check/chunk_calls.h"
#include "host/run/run_script.h"
#include "script/script_library.h"
#include "system/console.h"

namespace tapline {
namespace {

using script::ScriptSignature;

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
  for (const script::ScriptLibraryRow& row : script::script_library()) {
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
    const size_t distance = edit_distance(name, candidate);
    if (distance < best_distance) best = candidate, best_distance = distance;
  }
  return best;
}

// The file's text as the engine's file loader sees it: a leading byte-order mark is
// dropped and a first line starting with '#' is blanked (its line end stays, so line
// numbers hold).
bool read_script(const char* path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  if (text.starts_with("#")) text.erase(0, std::min(text.find('\n'), text.size()));
  return true;
}

bool check_one(const char* path, const std::set<std::string>& known,
               const std::map<std::string, const ScriptSignature*>& signatures) {
  std::string text;
  if (!read_script(path, text)) {
    system::console_diagnostic("cannot read %s: %s\n", path, std::strerror(errno));
    return false;
  }
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    system::console_diagnostic("out of memory checking %s\n", path);
    return false;
  }
  // The chunk name "=" makes the engine's messages start with ":LINE:", whatever the
  // length of the path, so the full path can be put in front.
  if (luaL_loadbufferx(L, text.data(), text.size(), "=", nullptr) != LUA_OK) {
    const char* message = lua_tostring(L, -1);
    system::console_eprintf("%s%s\n", path, message != nullptr ? message : ": does not load");
    lua_close(L);
    return false;
  }
  auto uses = global_uses(L);
  lua_close(L);
  if (!uses) {
    system::console_diagnostic("%s: compiled, but its calls cannot be read\n", path);
    return false;
  }
  std::set<std::string> assigned;
  for (const GlobalUse& use : *uses) {
    if (use.kind == GlobalUse::kAssign) assigned.insert(use.name);
  }
  std::stable_sort(uses->begin(), uses->end(),
                   [](const GlobalUse& a, const GlobalUse& b) { return a.line < b.line; });
  bool clean = true;
  for (const GlobalUse& use : *uses) {
    if (use.kind != GlobalUse::kCall || assigned.contains(use.name)) continue;
    if (!known.contains(use.name)) {
      const std::string hint = nearest(use.name, known);
      system::console_eprintf("%s:%d: warning: call of unknown global '%s'%s%s%s\n", path, use.line,
                              use.name.c_str(), hint.empty() ? "" : " (did you mean '",
                              hint.c_str(), hint.empty() ? "" : "'?)");
      clean = false;
      continue;
    }
    const auto signature = signatures.find(use.name);
    if (signature == signatures.end() || use.argument_count < 0) continue;
    if (!script::accepts_argument_count(*signature->second, use.argument_count)) {
      system::console_eprintf("%s:%d: warning: %s called with %d argument%s; it takes %s\n", path,
                              use.line, use.name.c_str(), use.argument_count,
                              use.argument_count == 1 ? "" : "s",
                              accepted_counts(*signature->second).c_str());
      clean = false;
    }
  }
  return clean;
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
