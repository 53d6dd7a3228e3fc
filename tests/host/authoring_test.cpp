// What script authors get beside the program: tapline --check, the editor definitions of
// the script globals and the manual pages.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <lua.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/modes.h"
#include "program_run.h"
#include "script_state.h"

namespace {

namespace fs = std::filesystem;
using tapline::testing::run_program;
using tapline::testing::tapline_binary;
using tapline::testing::TempDir;
using tapline::testing::TempFile;

std::vector<std::string> example_scripts() {
  std::vector<std::string> paths;
  for (const auto& entry : fs::directory_iterator(TAPLINE_SOURCE_DIR "/examples")) {
    if (entry.path().extension() == ".lua") paths.push_back(entry.path());
  }
  return paths;
}

TEST(ScriptCheck, EveryExampleIsClean) {
  std::vector<std::string> args = {"--check"};
  for (const std::string& path : example_scripts()) args.push_back(path);
  ASSERT_GT(args.size(), 1u);
  const auto result = run_program(tapline_binary(), args);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(ScriptCheck, ReportsMisspeltGlobalsAndArgumentCountsWithoutRunningAnything) {
  // Line numbers count the first '#' line; nothing of the script runs, so neither the
  // file it would write nor any console text appears.
  TempFile script(
      "#!/usr/bin/env tapline\n"
      "io.open(os.getenv('MARK'), 'w'):close()\n"
      "KeyPres('a')\n"
      "FindColor(255, 1, 2)\n"
      "local function slide() return TouchSlide(1, 2, 3) end\n"
      "MoveTo(GetMousePosition())\n"  // a call as last argument gives any number
      "function Helper(a) end\n"
      "Helper(1, 2, 3)\n"  // the script's own globals are not checked
      "Key('a', 'LCTRL', 3)\n"
      "Touch(1, 2) Touch(1, 2, 3) Touch(1, 2, 3, 4) Touch(1, 2, 3, 4, 5)\n"
      "local t = {} t.KeyPres('a') string.format('%d', 1) print(1, 2, 3)\n");
  const std::string mark = script.directory() + "/ran";
  const auto result = run_program(tapline_binary(), {"--check", script.path()}, {"MARK=" + mark});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  const std::string& p = script.path();
  EXPECT_EQ(result.err,
            p + ":3: warning: call of unknown global 'KeyPres' (did you mean 'KeyPress'?)\n" + p +
                ":4: warning: FindColor called with 3 arguments; it takes 1 or 5\n" + p +
                ":5: warning: TouchSlide called with 3 arguments; it takes 4 or 5\n" + p +
                ":9: warning: Key called with 3 arguments; it takes 1 or 2\n" + p +
                ":10: warning: Touch called with 5 arguments; it takes 2, 3 or 4\n");
  EXPECT_FALSE(fs::exists(mark));
}

TEST(ScriptCheck, SyntaxErrorsNameTheWholePathAndEveryFileIsChecked) {
  // A path far longer than the engine's own chunk names still appears whole.
  TempFile broken("local x = 1\n\nx = = 2\n", std::string(80, 'd') + ".lua");
  TempFile clean("KeyPress('a')\n");
  const auto result =
      run_program(tapline_binary(), {"--check", broken.path(), "/nonexistent/x.lua", clean.path()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, broken.path() + ":3: unexpected symbol near '='\n" +
                            "tapline: cannot read /nonexistent/x.lua: No such file or directory\n");
  EXPECT_EQ(run_program(tapline_binary(), {"--check", clean.path()}).status, 0);
  // Only the first argument selects checking; elsewhere --check is an ordinary argument.
  EXPECT_EQ(run_program(tapline_binary(), {"--check"}).status, 1);
  EXPECT_EQ(run_program(tapline_binary(), {clean.path(), "--check"}).out.rfind("Sep 27 2022\n", 0),
            0u);
}

TEST(ScriptCheck, RefusesWhatIsNoRegularFileOrTooLargeAndChecksTheRest) {
  TempDir files;
  const std::string fifo = files.file("fifo.lua");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = files.file("socket.lua");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Sparse: one byte over the limit costs no disk space.
  const std::string large = files.write("large.lua", "");
  fs::resize_file(large, (64u << 20) + 1);
  const std::string misspelt = files.write("misspelt.lua", "KeyPres('a')\n");
  const auto result = run_program(tapline_binary(), {"--check", files.directory(), "/dev/zero",
                                                     fifo, socket_path, large, misspelt});
  close(listener);
  EXPECT_EQ(result.status, 1);
  const std::string refused = "tapline: cannot check ";
  EXPECT_EQ(result.err, refused + files.directory() + ": not a regular file\n" + refused +
                            "/dev/zero: not a regular file\n" + refused + fifo +
                            ": not a regular file\n" + refused + socket_path +
                            ": not a regular file\n" + refused + large +
                            ": larger than 64 MiB, the most --check reads\n" + misspelt +
                            ":1: warning: call of unknown global 'KeyPres' (did you mean "
                            "'KeyPress'?)\n");
}

TEST(ScriptCheck, EachKindOfSuspectCallIsReportedOnceWithHowOftenItOccurs) {
  std::string text = "Helper(1)\n";
  for (int i = 0; i < 5000; ++i) text += "FindColor(1, 2, 3) KeyPres('a') KeyPres()\n";
  text += "FindColor(1, 2) Helper(2) function Helper() end\n";
  TempFile script(text);
  const auto result = run_program(tapline_binary(), {"--check", script.path()});
  EXPECT_EQ(result.status, 1);
  const std::string& p = script.path();
  EXPECT_EQ(result.err, p +
                            ":2: warning: FindColor called with 3 arguments; it takes 1 or 5; "
                            "5000 such calls, the first here\n" +
                            p +
                            ":2: warning: call of unknown global 'KeyPres' (did you mean "
                            "'KeyPress'?); 10000 such calls, the first here\n" +
                            p +
                            ":5002: warning: FindColor called with 2 arguments; it takes 1 or 5\n");
}

// A precompiled chunk of `depth` functions, each nested in the one before, that do
// nothing: the form lua_dump writes, for this machine.
std::string nested_chunk(int depth) {
  auto integer = [](int value) {
    return std::string(reinterpret_cast<char*>(&value), sizeof value);
  };
  std::string header("\x1bLua\x53\x00\x19\x93\r\n\x1a\n\x04\x08\x04\x08\x08", 17);
  const lua_Integer integer_check = 0x5678;
  const lua_Number float_check = 370.5;
  header.append(reinterpret_cast<const char*>(&integer_check), sizeof integer_check);
  header.append(reinterpret_cast<const char*>(&float_check), sizeof float_check);
  header += '\x01';  // the main function's upvalues
  // No source, lines 0 and 0, no parameters, not vararg, a stack of 2, one RETURN, no
  // constants and no upvalues; then the nested functions and empty debug information.
  const std::string opening = std::string("\0", 1) + integer(0) + integer(0) +
                              std::string("\0\0\x02", 3) + integer(1) + integer(38 | 1 << 23) +
                              integer(0) + integer(0);
  const std::string closing = integer(0) + integer(0) + integer(0);
  std::string chunk = header;
  for (int level = 1; level < depth; ++level) chunk += opening + integer(1);
  chunk += opening + integer(0);
  for (int level = 0; level < depth; ++level) chunk += closing;
  return chunk;
}

int dump_writer(lua_State*, const void* bytes, size_t size, void* chunk) {
  static_cast<std::string*>(chunk)->append(static_cast<const char*>(bytes), size);
  return 0;
}

TEST(ScriptCheck, PrecompiledChunksAreReadWithoutTheLoaderAndOnlyForTheirCalls) {
  lua_State* L = luaL_newstate();
  ASSERT_EQ(luaL_loadstring(L, "local x = 1\nKeyPres('a')\n"), LUA_OK);
  std::string compiled;
  lua_dump(L, dump_writer, &compiled, 0);
  lua_close(L);
  TempDir files;
  const std::string readable = files.write("compiled.lua", compiled);
  // As deep as the compiler allows, then so deep that the engine's own loader would
  // overflow its stack.
  const std::string deep = files.write("deep.lua", nested_chunk(200));
  const std::string deeper = files.write("deeper.lua", nested_chunk(200000));
  const std::string newer = files.write("newer.lua", "\x1bLuaT\x00\x19\x93\r\n\x1a\n");
  const std::string cut = files.write("cut.lua", nested_chunk(3).substr(0, 60));
  const auto result =
      run_program(tapline_binary(), {"--check", readable, deep, deeper, newer, cut});
  EXPECT_EQ(result.status, 1);
  const std::string note =
      ": note: precompiled chunk, checked only for its calls; the engine runs precompiled code "
      "unverified, so run only chunks from a source you trust\n";
  EXPECT_EQ(result.err,
            readable + note + readable +
                ":2: warning: call of unknown global 'KeyPres' (did you mean 'KeyPress'?)\n" +
                deep + note + "tapline: " + deeper +
                ": functions nested more than 200 levels deep; not checked\n" +
                "tapline: " + newer + ": not precompiled by this engine version on this machine\n" +
                "tapline: " + cut + ": precompiled, but its calls cannot be read\n");
}

std::set<std::string> global_names(lua_State* L) {
  std::set<std::string> names;
  lua_pushglobaltable(L);
  lua_pushnil(L);
  while (lua_next(L, -2) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING) names.insert(lua_tostring(L, -2));
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  return names;
}

TEST(EditorDefinitions, NameExactlyTheScriptGlobals) {
  // The names PrintLuaExtFun lists, from the registered library itself.
  tapline::testing::ScriptState library;
  library.run("names = PrintLuaExtFun()");
  lua_getglobal(library.get(), "names");
  std::set<std::string> expected;
  std::istringstream listed(lua_tostring(library.get(), -1));
  for (std::string name; std::getline(listed, name);) expected.insert(name);
  ASSERT_EQ(expected.size(), 95u);  // 96 rows, consumer twice
  expected.insert({"printf", "author"});
  // and the globals added after that list, which it leaves out
  for (const auto& row : tapline::script::script_globals().subspan(96)) expected.insert(row.name);

  // The definitions file parses and runs in plain Lua 5.3 and defines just those.
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  const std::set<std::string> standard = global_names(L);
  const std::string path = TAPLINE_BINARY_DIR "/share/tapline/lua/tapline.lua";
  ASSERT_EQ(luaL_dofile(L, path.c_str()), LUA_OK) << lua_tostring(L, -1);
  std::set<std::string> defined;
  for (const std::string& name : global_names(L)) {
    if (!standard.contains(name) || name == "print") defined.insert(name);
  }
  lua_close(L);
  EXPECT_EQ(defined, expected);
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// True when `page` has an entry for `option`: a line of the options list that starts with
// .B, .BI or .BR and the option.
bool has_entry(const std::string& page, const std::string& option) {
  std::string escaped;
  for (char c : option) escaped += c == '-' ? "\\-" : std::string(1, c);
  for (const char* macro : {"\n.B ", "\n.BI ", "\n.BR "})
    if (page.find(macro + escaped) != std::string::npos) return true;
  return false;
}

TEST(ManualPages, RenderWithoutWarningsAndDocumentEveryOption) {
  const std::string pages = TAPLINE_BINARY_DIR "/share/man/man1/";
  for (const char* page : {"tapline.1", "tapline-device.1"}) {
    const auto lint =
        run_program("/bin/sh", {"-c", "groff -ww -z -man \"$1\"", "sh", pages + page});
    EXPECT_EQ(lint.status, 0) << page;
    EXPECT_EQ(lint.err, "") << page;
  }
  // Every option the device's --help names has its entry in the page.
  const auto help = run_program(TAPLINE_BINARY_DIR "/tools/device/tapline-device", {"--help"});
  const std::string page = read_text(pages + "tapline-device.1");
  std::set<std::string> options;
  for (size_t at = help.out.find("--"); at != std::string::npos; at = help.out.find("--", at)) {
    size_t end = at + 2;
    while (end < help.out.size() && (std::islower(help.out[end]) || help.out[end] == '-')) ++end;
    if (end > at + 2) options.insert(help.out.substr(at, end - at));
    at = end;
  }
  EXPECT_GE(options.size(), 6u) << help.out;
  for (const std::string& name : options) EXPECT_TRUE(has_entry(page, name)) << name;
  // Every mode of the console program has its entry in its page.
  const std::string console_page = read_text(pages + "tapline.1");
  for (const tapline::ProgramMode& mode : tapline::program_modes())
    EXPECT_TRUE(has_entry(console_page, mode.option)) << mode.option;
}

}  // namespace
