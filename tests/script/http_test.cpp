// HttpGet and Curl against an HTTP and an HTTPS server on 127.0.0.1 run by the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "child_process.h"
#include "program_run.h"
#include "script_state.h"
#include "system/curl_library.h"

namespace {

using Script = tapline::testing::ScriptState;
using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool file_exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

const std::string kUtf8Body = "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93\n";

std::string binary_body() {
  std::string body;
  for (int repeat = 0; repeat < 64; ++repeat)
    for (int byte = 0; byte < 256; ++byte) body += static_cast<char>(byte);
  return body + std::string("\r\n\n\r\0end", 8);
}

class Network : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/tapline-http-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    keys = pattern;
    const std::string cert = keys + "/cert.pem", key = keys + "/key.pem";
    const std::string make_certificate =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj "
        "/CN=tapline.test -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make_certificate.c_str()), 0);
    const std::string server_script = TAPLINE_SOURCE_DIR "/tests/script/http_test_server.py";
    ChildOptions quiet;
    quiet.err = ChildOutput::Discard;
    server = new ChildProcess({"python3", server_script, cert, key}, quiet);
    http_base = "http://127.0.0.1:" + server->out_line();
    https_base = "https://127.0.0.1:" + server->out_line();
    ASSERT_NE(http_base, "http://127.0.0.1:");
    ASSERT_NE(https_base, "https://127.0.0.1:");
  }
  static void TearDownTestSuite() {
    delete server;
    std::remove((keys + "/cert.pem").c_str());
    std::remove((keys + "/key.pem").c_str());
    rmdir(keys.c_str());
  }

  void SetUp() override {
    char pattern[] = "/tmp/tapline-download-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    target = dir + "/download.bin";
  }
  void TearDown() override {
    std::remove(target.c_str());
    rmdir(dir.c_str());
  }

  // HttpGet's result, with what it printed on standard output.
  lua_Integer http_get(const std::string& arguments, std::string* printed = nullptr) {
    ::testing::internal::CaptureStdout();
    const lua_Integer result = script.integer("return HttpGet(" + arguments + ")");
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return result;
  }
  lua_Integer http_get_to_target(const std::string& url, std::string* printed = nullptr) {
    return http_get("'" + url + "', '" + target + "'", printed);
  }

  // Curl's result as text ("<nil>" for nil), with what it said on standard error.
  std::string curl(const std::string& arguments, std::string* said = nullptr) {
    ::testing::internal::CaptureStderr();
    const std::string result = script.text("return Curl(" + arguments + ")");
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (said) *said = err;
    return result;
  }

  static std::string keys, http_base, https_base;
  static ChildProcess* server;
  std::string dir, target;
  Script script;
};

std::string Network::keys, Network::http_base, Network::https_base;
ChildProcess* Network::server = nullptr;

TEST_F(Network, HttpGetWritesTheBodyRawAndPrintsNothing) {
  std::string printed;
  EXPECT_EQ(http_get_to_target(http_base + "/binary", &printed), 1);
  EXPECT_TRUE(read_file(target) == binary_body());
  EXPECT_EQ(printed, "");  // the progress meter goes to standard error
}

TEST_F(Network, HttpGetWritesAnErrorPageLikeAnyBody) {
  EXPECT_EQ(http_get_to_target(http_base + "/missing"), 1);
  EXPECT_EQ(read_file(target), "no such page");
}

TEST_F(Network, HttpGetDoesNotFollowRedirects) {
  EXPECT_EQ(http_get_to_target(http_base + "/moved"), 1);
  EXPECT_EQ(read_file(target), "moved to /utf8");
}

TEST_F(Network, HttpGetAcceptsASelfSignedCertificate) {
  EXPECT_EQ(http_get_to_target(https_base + "/utf8"), 1);
  EXPECT_EQ(read_file(target), kUtf8Body);
}

TEST_F(Network, HttpGetFromAnUnreachableServerLeavesAnEmptyFile) {
  std::ofstream(target) << "old content";
  EXPECT_EQ(http_get_to_target("http://127.0.0.1:1/"), 1);
  EXPECT_TRUE(file_exists(target));
  EXPECT_EQ(read_file(target), "");
}

TEST_F(Network, HttpGetWithoutUrlOrFileNameTouchesNoFile) {
  EXPECT_EQ(http_get("'" + http_base + "/utf8'"), 0);
  EXPECT_EQ(http_get("nil, '" + target + "'"), 0);
  EXPECT_EQ(http_get("{}, '" + target + "'"), 0);
  EXPECT_EQ(http_get(""), 0);
  EXPECT_FALSE(file_exists(target));
}

TEST_F(Network, HttpGetIntoAFileThatCannotBeCreatedStillGivesOne) {
  std::string printed;
  EXPECT_EQ(http_get("'" + http_base + "/utf8', '" + dir + "/no/such/dir/file'", &printed), 1);
  EXPECT_EQ(printed, "");
}

TEST_F(Network, CurlReturnsTheBodyOfA200) {
  EXPECT_EQ(curl("'" + http_base + "/utf8'"), kUtf8Body);
}

TEST_F(Network, CurlFollowsRedirects) { EXPECT_EQ(curl("'" + http_base + "/moved'"), kUtf8Body); }

TEST_F(Network, CurlCutsTheBodyAtAZeroByte) { EXPECT_EQ(curl("'" + http_base + "/zero'"), "ab"); }

TEST_F(Network, CurlGivesNilAndOneLineForAnythingButA200) {
  std::string said;
  EXPECT_EQ(curl("'" + http_base + "/missing'", &said), "<nil>");
  EXPECT_EQ(said, "Curl: " + http_base + "/missing: HTTP status 404\n");
  EXPECT_EQ(curl("'" + http_base + "/created'", &said), "<nil>");
  EXPECT_EQ(said, "Curl: " + http_base + "/created: HTTP status 201\n");
}

TEST_F(Network, CurlGivesNilAndOneLineWhenTheRequestFails) {
  std::string said;
  EXPECT_EQ(curl("'http://127.0.0.1:1/'", &said), "<nil>");
  EXPECT_EQ(said.rfind("Curl: http://127.0.0.1:1/: ", 0), 0u) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
  EXPECT_EQ(curl("'" + http_base + "/loop'", &said), "<nil>");  // redirects without end
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
  EXPECT_EQ(curl("", &said), "<nil>");
  EXPECT_EQ(said, "Curl: no URL given\n");
}

TEST_F(Network, CurlGivesUpABodyOverItsCap) {
  std::string said;
  setenv("TAPLINE_CURL_MAX_BYTES", "1000000", 1);
  EXPECT_EQ(curl("'" + http_base + "/large'", &said), "<nil>");
  EXPECT_EQ(curl("'" + http_base + "/utf8'"), kUtf8Body);  // a body under the cap
  unsetenv("TAPLINE_CURL_MAX_BYTES");
  EXPECT_EQ(said, "Curl: " + http_base +
                      "/large: the body is larger than 1000000 bytes (TAPLINE_CURL_MAX_BYTES)\n");
}

TEST_F(Network, CurlChecksCertificates) {
  std::string said;
  EXPECT_EQ(curl("'" + https_base + "/utf8'", &said), "<nil>");
  EXPECT_EQ(said.rfind("Curl: " + https_base + "/utf8: ", 0), 0u) << said;
}

TEST_F(Network, WithoutLibcurlHttpGetSaysSoOnEveryCallAndCurlGivesNil) {
  tapline::system::set_curl_library_name("libcurl-not-installed-tapline.so.4");
  std::string first, second, said;
  const lua_Integer first_result = http_get_to_target(http_base + "/utf8", &first);
  const lua_Integer second_result = http_get_to_target(http_base + "/utf8", &second);
  const std::string curl_result = curl("'" + http_base + "/utf8'", &said);
  tapline::system::set_curl_library_name(nullptr);
  EXPECT_EQ(first_result, 0);
  EXPECT_EQ(second_result, 0);
  EXPECT_EQ(first, "load libcurl fail");
  EXPECT_EQ(second, "load libcurl fail");
  EXPECT_FALSE(file_exists(target));
  EXPECT_EQ(curl_result, "<nil>");
  EXPECT_NE(said.find("libcurl cannot be loaded"), std::string::npos) << said;
}

}  // namespace
