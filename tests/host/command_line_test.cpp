// The console program's command line: the modes its options choose, banner, usage, script
// file check, transport choice and exit statuses.
#include "host/run/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/modes.h"
#include "program_run.h"

namespace {

using tapline::testing::run_program;
using tapline::testing::StdoutCapture;
using tapline::testing::tapline_binary;
using tapline::testing::TempFile;

const std::string kBanner = "Sep 27 2022\n";

TEST(HostCommandLine, NoArgumentsPrintsUsageAndExitsWithMinusOne) {
  const auto result = run_program(tapline_binary(), {});
  EXPECT_EQ(result.out, kBanner + "用法: " + tapline_binary() +
                            " xxx.lua\n"
                            "ctrl+c结束运行 按键盘上的PAUSE暂停再按任意键恢复执行\n");
  EXPECT_EQ(result.status, 255);
}

TEST(HostCommandLine, MissingScriptFileIsNamedExactlyAsTyped) {
  // This run includes the program's 2000 ms pause after the message.
  const std::string path = "no/such/dir/../script.lua";
  const auto result = run_program(tapline_binary(), {path, "net", "127.0.0.1", "9"});
  EXPECT_EQ(result.out, kBanner + "脚本文件不存在请确认路径:" + path + "\n");
  EXPECT_EQ(result.status, 255);
}

TEST(HostCommandLine, HelpListsEveryModeOnStandardOutput) {
  const auto help = run_program(tapline_binary(), {"--help", "ignored"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("usage:\n  tapline SCRIPT [SELECTOR [ADDRESS PORT]]\n", 0), 0u)
      << help.out;
  for (const tapline::ProgramMode& mode : tapline::program_modes()) {
    const std::string synopsis = std::string("  tapline ") + mode.option +
                                 (*mode.arguments != '\0' ? " " : "") + mode.arguments + "\n";
    EXPECT_NE(help.out.find(synopsis + "      " + mode.summary + "\n"), std::string::npos)
        << mode.option << "\n"
        << help.out;
  }
}

// The mode the program starts itself in to serve a clipboard text is chosen before
// anything else, but is no user's: the usage does not list it, and started by hand it
// says so.
TEST(HostCommandLine, TheClipboardServingModeIsNotAUsersMode) {
  const auto help = run_program(tapline_binary(), {"--help"});
  EXPECT_EQ(help.out.find("--serve-clipboard"), std::string::npos) << help.out;
  const auto by_hand = run_program(tapline_binary(), {"--serve-clipboard", "x11"});
  EXPECT_EQ(by_hand.status, 2);
  EXPECT_EQ(by_hand.out, "");
  EXPECT_EQ(by_hand.err,
            "tapline: --serve-clipboard is started by the program itself, with its text and report "
            "descriptors\n");
}

TEST(HostCommandLine, VersionIsTheProjectVersion) {
  const auto version = run_program(tapline_binary(), {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tapline " TAPLINE_VERSION "\n");
  EXPECT_EQ(version.err, "");
}

TEST(HostCommandLine, OptionsCountOnlyAsTheFirstArgument) {
  char program[] = "tapline", check[] = "--check", script[] = "s.lua", help[] = "--help";
  char* checking[] = {program, check, script};
  char* running[] = {program, script, help};
  char* neither[] = {program};
  ASSERT_NE(tapline::chosen_mode(3, checking), nullptr);
  EXPECT_EQ(tapline::chosen_mode(3, checking)->option, std::string("--check"));
  EXPECT_EQ(tapline::chosen_mode(3, running), nullptr);
  EXPECT_EQ(tapline::chosen_mode(1, neither), nullptr);
  // A first argument that is no option of the program is a script path. This run includes
  // the program's 2000 ms pause after the message.
  const auto result = run_program(tapline_binary(), {"--halp"});
  EXPECT_EQ(result.out, kBanner + "脚本文件不存在请确认路径:--halp\n");
  EXPECT_EQ(result.status, 255);
}

TEST(HostCommandLine, ScriptFileMustExistAndNotBeADirectory) {
  TempFile script("return\n");
  EXPECT_TRUE(tapline::script_file_exists(script.path().c_str()));
  EXPECT_FALSE(tapline::script_file_exists(script.directory().c_str()));
  EXPECT_FALSE(tapline::script_file_exists((script.directory() + "/missing.lua").c_str()));
  EXPECT_FALSE(tapline::script_file_exists(""));
}

bool udp(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  return tapline::selects_udp(static_cast<int>(argv.size()), argv.data());
}

TEST(HostCommandLine, SelectorIsACaseSensitiveSubstringTest) {
  EXPECT_TRUE(udp({"tapline", "s.lua", "net"}));
  EXPECT_TRUE(udp({"tapline", "s.lua", "network"}));
  EXPECT_TRUE(udp({"tapline", "s.lua", "internet"}));
  EXPECT_FALSE(udp({"tapline", "s.lua", "NET"}));
  EXPECT_FALSE(udp({"tapline", "s.lua", "usb"}));
  EXPECT_FALSE(udp({"tapline", "s.lua", ""}));
  EXPECT_FALSE(udp({"tapline", "s.lua"}));
}

TEST(HostCommandLine, PortIsReadLikeAtol) {
  EXPECT_EQ(tapline::port_argument("9000"), 9000);
  EXPECT_EQ(tapline::port_argument("  +42xyz"), 42);
  EXPECT_EQ(tapline::port_argument("-7"), -7);
  EXPECT_EQ(tapline::port_argument("abc"), 0);
  EXPECT_EQ(tapline::port_argument(""), 0);
  EXPECT_EQ(tapline::port_argument("99999999999999999999"), 2147483647);
  EXPECT_EQ(tapline::port_argument("-99999999999999999999"), -2147483647 - 1);
}

TEST(HostCommandLine, UdpWithAddressAndPortRunsTheScriptAndEndsWithStatusZero) {
  TempFile script("printf('ran\\n')\n");
  const auto result = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "9"});
  EXPECT_EQ(result.out, kBanner +
                            "使用UDP通信\n"
                            "network:127.0.0.1:9\n"
                            "开始运行。。。global:printf\nran\n"
                            "运行结束\n");
  EXPECT_EQ(result.status, 0);
}

TEST(HostCommandLine, UdpAddressWithoutPortUsesBothDefaults) {
  TempFile script("");
  const auto result = run_program(tapline_binary(), {script.path(), "network", "127.0.0.1"});
  EXPECT_NE(result.out.find("使用UDP通信\nnetwork:255.255.255.255:9000\n"), std::string::npos)
      << result.out;
  EXPECT_EQ(result.status, 0);
}

TEST(HostCommandLine, UdpPortWithoutDigitsKeepsTheDefaultPort) {
  TempFile script("");
  const auto result = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "abc"});
  EXPECT_NE(result.out.find("network:127.0.0.1:9000\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.status, 0);
}

TEST(HostCommandLine, FurtherArgumentsAreIgnored) {
  TempFile script("");
  const auto result =
      run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "9", "extra", "more"});
  EXPECT_NE(result.out.find("network:127.0.0.1:9\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.status, 0);
}

// The USB path with a stand-in device, run in this process.
struct FakeUsb {
  static inline int open_result = 1;
  static inline int opens = 0;
  static inline int closes = 0;
  static int open() {
    ++opens;
    return open_result;
  }
  static void close() { ++closes; }
};

struct UsbRun {
  int status;
  std::string out;
};

UsbRun run_with_fake_usb(int open_result, std::vector<std::string> args) {
  FakeUsb::open_result = open_result;
  FakeUsb::opens = 0;
  FakeUsb::closes = 0;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);  // as the system ends every argument list
  StdoutCapture capture;
  const int status = tapline::run_command_line(argc, argv.data(), {FakeUsb::open, FakeUsb::close});
  return {status, capture.text()};
}

TEST(HostCommandLineUsb, OpenedDeviceRunsTheScriptAndIsClosedAfterIt) {
  TempFile script("printf('ran\\n')\n");
  const auto run = run_with_fake_usb(1, {"tapline", script.path()});
  EXPECT_EQ(run.out, kBanner + "USB打开成功\n开始运行。。。global:printf\nran\n运行结束\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(FakeUsb::opens, 1);
  EXPECT_EQ(FakeUsb::closes, 1);
}

TEST(HostCommandLineUsb, FailedOpenEndsWithItsResultAndNeverLoadsTheScript) {
  TempFile script("printf('ran\\n')\n");
  const auto run = run_with_fake_usb(-1, {"tapline", script.path(), "usb"});
  EXPECT_EQ(run.out, kBanner + "USB打开失败\n");
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(FakeUsb::closes, 0);
}

TEST(HostCommandLineUsb, ZeroResultIsReportedAsFailureButTheScriptStillRuns) {
  TempFile script("printf('ran\\n')\n");
  const auto run = run_with_fake_usb(0, {"tapline", script.path()});
  EXPECT_EQ(run.out, kBanner + "USB打开失败\n开始运行。。。global:printf\nran\n运行结束\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(FakeUsb::closes, 1);
}

TEST(HostCommandLineUsb, UpperCaseNetSelectsUsb) {
  TempFile script("");
  const auto run = run_with_fake_usb(1, {"tapline", script.path(), "NET", "127.0.0.1", "9"});
  EXPECT_EQ(run.out, kBanner + "USB打开成功\n开始运行。。。运行结束\n");
  EXPECT_EQ(FakeUsb::opens, 1);
  EXPECT_EQ(FakeUsb::closes, 1);
}

TEST(HostCommandLineUsb, StartWithoutAnyArgumentShowsTheUsage) {
  // Nothing may be read past the end of an empty argument list; the usage prompt reads
  // its one character from an empty input here.
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  const auto run = run_with_fake_usb(1, {});
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(run.out, kBanner +
                         "用法: tapline xxx.lua\n"
                         "ctrl+c结束运行 按键盘上的PAUSE暂停再按任意键恢复执行\n");
  EXPECT_EQ(FakeUsb::opens, 0);
}

TEST(HostCommandLineUsb, UdpRunNeverTouchesUsb) {
  TempFile script("");
  const auto run = run_with_fake_usb(1, {"tapline", script.path(), "net", "127.0.0.1", "9"});
  EXPECT_EQ(run.out, kBanner + "使用UDP通信\nnetwork:127.0.0.1:9\n开始运行。。。运行结束\n");
  EXPECT_EQ(FakeUsb::opens, 0);
  EXPECT_EQ(FakeUsb::closes, 0);
}

}  // namespace
