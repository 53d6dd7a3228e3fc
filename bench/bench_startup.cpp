// Start-up and call-echo cost of the console program.
//
// Runs `tapline <script> net 127.0.0.1 9` as a child process many times (standard output
// to /dev/null, so the terminal's speed is not measured) and reports, per run, the wall
// time from spawn to exit and the process time (user + system) that wait4 reports for the
// child. An empty script gives the start-up cost; a script making many inert library
// calls, each echoed by the call hook, gives the cost per echoed call by difference.
//
// Usage: bench_startup [runs]   (default 200)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
  double wall_ms;
  double cpu_ms;
};

Sample run_once(const std::string& program, const std::string& script) {
  std::vector<std::string> args{program, script, "net", "127.0.0.1", "9"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not end with status 0\n", script.c_str());
    std::exit(1);
  }
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return {std::chrono::duration<double, std::milli>(end - start).count(),
          ms(usage.ru_utime) + ms(usage.ru_stime)};
}

struct Summary {
  double wall_median;
  double cpu_median;
};

Summary measure(const std::string& program, const std::string& script, int runs) {
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int i = 0; i < runs; ++i) {
    const Sample s = run_once(program, script);
    wall.push_back(s.wall_ms);
    cpu.push_back(s.cpu_ms);
  }
  const auto median = [](std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {median(wall), median(cpu)};
}

std::string write_script(const std::string& name, const std::string& text) {
  const std::string path = "/tmp/" + name + "." + std::to_string(getpid()) + ".lua";
  std::ofstream(path) << text;
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const std::string program = std::string(TAPLINE_BINARY_DIR) + "/tapline";
  constexpr int kCalls = 200000;

  const std::string empty = write_script("tapline-bench-empty", "");
  const std::string calls = write_script(
      "tapline-bench-calls", "for i = 1, " + std::to_string(kCalls) + " do Subscribe() end\n");

  const Summary startup = measure(program, empty, runs);
  const Summary echoed = measure(program, calls, std::max(1, runs / 20));
  std::printf(
      "start-up (empty script, %d runs): median wall %.2f ms, median process time %.2f ms\n", runs,
      startup.wall_median, startup.cpu_median);
  std::printf("echoed call (%d calls of Subscribe): %.0f ns wall, %.0f ns process time per call\n",
              kCalls, (echoed.wall_median - startup.wall_median) * 1e6 / kCalls,
              (echoed.cpu_median - startup.cpu_median) * 1e6 / kCalls);
  std::remove(empty.c_str());
  std::remove(calls.c_str());
  return 0;
}
