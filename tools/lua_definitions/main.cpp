// Writes the Lua language-server definition file of the script globals from the script
// library table: tapline-lua-definitions OUTPUT.lua
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "script/script_library.h"

namespace {

using tapline::script::ScriptForm;
using tapline::script::ScriptParam;

std::string parameter_list(const ScriptForm& form, bool with_types) {
  std::string text;
  for (const ScriptParam& param : form) {
    if (!text.empty()) text += ", ";
    text += param.name;
    if (with_types && !param.variadic) text += (param.optional ? "?: " : ": ") + param.type;
    if (with_types && param.variadic) text += ": " + param.type;
  }
  return text;
}

// "integer x, integer y" as the types alone, for an overload's result list.
std::string result_types(const char* results) {
  std::string types;
  if (results == nullptr) return types;
  std::string text = results;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(", ", start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    if (!types.empty()) types += ", ";
    types += item.substr(0, item.find(' '));
    start = end + 2;
  }
  return types;
}

void write_function(std::ofstream& out, const char* name,
                    const tapline::script::ScriptSignature& signature) {
  const auto forms = tapline::script::call_forms(signature);
  out << "\n---" << signature.summary << "\n";
  for (const ScriptParam& param : forms.front()) {
    out << "---@param " << param.name << (param.optional ? "? " : " ") << param.type << "\n";
  }
  if (signature.results != nullptr) {
    std::string results = signature.results;
    size_t start = 0;
    while (start < results.size()) {
      size_t end = results.find(", ", start);
      if (end == std::string::npos) end = results.size();
      out << "---@return " << results.substr(start, end - start) << "\n";
      start = end + 2;
    }
  }
  for (size_t i = 1; i < forms.size(); ++i) {
    out << "---@overload fun(" << parameter_list(forms[i], true) << ")";
    const std::string types = result_types(signature.results);
    if (!types.empty()) out << ": " << types;
    out << "\n";
  }
  out << "function " << name << "(" << parameter_list(forms.front(), false) << ") end\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.lua\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1]);
  out << "---@meta tapline\n"
         "-- The globals of a tapline script: the script library, printf and author.\n"
         "-- Generated from the script library's table; editor completion only, never run.\n"
         "\n"
         "---Writes string.format(format, ...) to standard output; adds no line end.\n"
         "---@param format string\n"
         "---@param ... any\n"
         "function printf(format, ...) end\n"
         "\n"
         "---A fixed identification string of the program's maker.\n"
         "---@type string\n"
         "author = \"\"\n";
  std::set<std::string> written;
  for (const auto& row : tapline::script::script_globals()) {
    if (!written.insert(row.name).second) continue;
    write_function(out, row.name, tapline::script::signature_of(row));
  }
  out.close();
  if (!out) {
    std::fprintf(stderr, "tapline-lua-definitions: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
