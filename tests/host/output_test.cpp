// print, TracePrint and PrintLuaExtFun. Host-window texts are seen through the console
// program's standard-error sink (TAPLINE_HOST_MESSAGES=stderr).
#include "script/output.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>

#include "host/run/run_script.h"
#include "program_run.h"
#include "script/script_functions.h"
#include "script/script_library.h"

namespace {

using tapline::testing::run_tapline_script;
using tapline::testing::script_output;

// Everything the host window received during the run.
std::string host_texts(const std::string& script) {
  return run_tapline_script(script, {"TAPLINE_HOST_MESSAGES=stderr"}).err;
}

TEST(HostPrint, ValuesJoinedByTabsTablesInlineTextNeverAFormat) {
  // Each value and a tab, then CR LF; tables inline with cycles as "...", while a table met
  // twice on different paths is no cycle; keys and values without a text form.
  const std::pair<const char*, const char*> cases[] = {
      {"print(1, 'a', nil, true)\n", "1\ta\t\ttrue\t\r\n"},
      {"print()\n", "\r\n"},
      {"print(false, print, 1.0, 2^63, -0.5)\n",
       "false\tfunction\t1.0\t9.2233720368548e+18\t-0.5\t\r\n"},
      {"print(io.stdout, coroutine.create(print))\n", "\t\t\r\n"},
      {"print('100% %s %d')\n", "100% %s %d\t\r\n"},
      {"print('中文')\n", "中文\t\r\n"},
      {"print({a = 1})\n", "{a=1,}\t\r\n"},
      {"print({t = {x = true}})\n", "{t={x=true,},}\t\r\n"},
      {"print({f = print})\n", "{f=function,}\t\r\n"},
      {"print({}, {})\n", "{}\t{}\t\r\n"},
      {"print({'x', 2.5, false})\n", "{1=x,2=2.5,3=false,}\t\r\n"},
      {"print({[true] = 1})\n", "{(null)=1,}\t\r\n"},
      {"print({[true] = {}})\n", "{={},}\t\r\n"},
      {"print({x = io.stdout})\n", "{x=(null),}\t\r\n"},
      {"print({[1.5] = 'h'})\n", "{1.5=h,}\t\r\n"},
      {"local t = {} t.self = t print(t)\n", "{self={...},}\t\r\n"},
      {"local a = {} local b = {a = a} a.b = b print(a)\n", "{b={a={...},},}\t\r\n"},
      {"local s = {} print({s, s})\n", "{1={},2={},}\t\r\n"},
  };
  for (const auto& [script, shown] : cases) EXPECT_EQ(host_texts(script), shown) << script;
}

TEST(HostPrint, NestingStopsAtSixtyFourLevels) {
  std::string expected;
  for (int level = 0; level < tapline::script::kMaxTableDepth; ++level) expected += "{1=";
  expected += "{...}";
  for (int level = 0; level < tapline::script::kMaxTableDepth; ++level) expected += ",}";
  EXPECT_EQ(host_texts("local t = {} for i = 1, 100 do t = {t} end print(t)\n"),
            expected + "\t\r\n");
}

TEST(HostPrint, VeryDeepNestingDoesNotCrash) {
  const auto run = run_tapline_script(
      "local t = {} for i = 1, 200000 do t = {t} end print(t) printf('alive\\n')\n",
      {"TAPLINE_HOST_MESSAGES=stderr"});
  EXPECT_NE(script_output(run.out).find("alive\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.status, 0);
}

TEST(HostPrint, LineIsCutAt1023Characters) {
  EXPECT_EQ(host_texts("print(string.rep('x', 1020))\n"), std::string(1020, 'x') + "\t\r\n");
  EXPECT_EQ(host_texts("print(string.rep('x', 1021))\n"), std::string(1021, 'x') + "\t\r");
  EXPECT_EQ(host_texts("print(string.rep('x', 5000))\n"), std::string(1023, 'x'));
  const std::string huge_table =
      host_texts("local t = {} for i = 1, 200000 do t[i] = i end print(t)\n");
  EXPECT_EQ(huge_table.size(), 1023u);
  EXPECT_EQ(huge_table.rfind("{1=1,2=2,3=3,", 0), 0u);
}

TEST(HostPrint, TheConsoleProgramShowsTextsOnStandardErrorUnlessToldNone) {
  const std::string script = "print('hello', {1})\nTracePrint('abc')\n";
  const auto shown = run_tapline_script(script);
  EXPECT_EQ(script_output(shown.out), "global:print\nglobal:TracePrint\n");
  EXPECT_EQ(shown.err.rfind("hello\t", 0), 0u) << shown.err;
  EXPECT_NE(shown.err.find("abc"), std::string::npos) << shown.err;
  const auto dropped = run_tapline_script(script, {"TAPLINE_HOST_MESSAGES=none"});
  EXPECT_EQ(script_output(dropped.out), "global:print\nglobal:TracePrint\n");
  EXPECT_EQ(dropped.err, "");
}

TEST(HostPrint, UnknownSinkIsReportedAndTextsGoToStandardError) {
  const auto run = run_tapline_script("print('hello')\n", {"TAPLINE_HOST_MESSAGES=stdout"});
  EXPECT_EQ(script_output(run.out), "global:print\n");
  EXPECT_NE(run.err.find("hello"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("TAPLINE_HOST_MESSAGES=stdout"), std::string::npos) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(HostTracePrint, SendsTheTextUnchanged) {
  EXPECT_EQ(host_texts("TracePrint('abc')\nTracePrint(12)\nTracePrint(1.5)\nTracePrint('%d%s')\n"),
            "abc121.5%d%s");
}

TEST(HostTracePrint, ValuesWithoutTextSendNothing) {
  EXPECT_EQ(host_texts("TracePrint()\nTracePrint(nil)\nTracePrint({})\nTracePrint(true)\n"
                       "print('end')\n"),
            "end\t\r\n");
}

std::string library_names() {
  std::string names;
  for (const auto& row : tapline::script::script_library()) names += std::string(row.name) + "\n";
  return names;
}

TEST(HostPrintLuaExtFun, ListsTheLibraryRowsInOrderAndPrintsNothing) {
  const auto run = run_tapline_script("local names = PrintLuaExtFun()\nio.write(names)\n",
                                      {"TAPLINE_HOST_MESSAGES=stderr"});
  EXPECT_EQ(script_output(run.out), "global:PrintLuaExtFun\nfield:write\n" + library_names());
  EXPECT_EQ(run.err, "");
}

class HostTableText : public ::testing::Test {
 protected:
  void SetUp() override { L = tapline::create_script_state(); }
  void TearDown() override { lua_close(L); }

  // Renders the value of `expression` and checks that the stack is left as it was.
  std::string render(const std::string& expression) {
    luaL_dostring(L, ("return " + expression).c_str());
    const int top = lua_gettop(L);
    std::string text = "<";
    tapline::script::format_table_text(L, -1, text);
    EXPECT_EQ(lua_gettop(L), top);
    lua_settop(L, 0);
    return text + ">";
  }

  lua_State* L = nullptr;
};

TEST_F(HostTableText, NonTablesAppendNothing) {
  EXPECT_EQ(render("5"), "<>");
  EXPECT_EQ(render("'text'"), "<>");
  EXPECT_EQ(render("nil"), "<>");
}

TEST_F(HostTableText, NumericKeysStayNumbersDuringTraversal) {
  // Converting a key in place would break lua_next: every entry must be visited.
  EXPECT_EQ(render("{10, 20, 30, [7] = 70}").size(),
            std::string("<{1=10,2=20,3=30,7=70,}>").size());
}

TEST_F(HostTableText, MetatablesAreNotConsulted) {
  EXPECT_EQ(render("setmetatable({}, {__index = {hidden = 1}, __tostring = function() "
                   "return 'no' end, __pairs = function() error('no') end})"),
            "<{}>");
}

TEST_F(HostTableText, PrintLeavesTheStackBalancedForManyArguments) {
  ASSERT_EQ(luaL_dostring(L,
                          "local t = {} for i = 1, 200 do t[i] = {i, {i}} end "
                          "print(table.unpack(t))"),
            LUA_OK)
      << lua_tostring(L, -1);
}

}  // namespace
