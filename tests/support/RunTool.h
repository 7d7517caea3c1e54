#pragma once
// Runs a program with extra environment variables and collects its exit status and output.
// The program is killed when it outlives the time limit.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

struct ToolResult {
  int status = -1; // exit status; -1 when killed or not started
  std::string out; // standard output
  std::string err; // standard error
};

inline ToolResult RunTool(const std::vector<std::string>& args,
                          const std::vector<std::pair<std::string, std::string>>& env = {},
                          int limit_seconds = 60) {
  char pattern[] = "/tmp/run_tool.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  std::string dir = pattern;
  std::string out_path = dir + "/out", err_path = dir + "/err";

  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [key, value] : env)
      replaced = replaced || entry.compare(0, key.size() + 1, key + "=") == 0;
    if (!replaced) environment.push_back(entry);
  }
  for (const auto& [key, value] : env)
    environment.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (auto& a : words)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);

  ToolResult result;
  if (rc == 0) {
    int wstatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    for (;;) {
      pid_t done = waitpid(pid, &wstatus, WNOHANG);
      if (done == pid) {
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::stringstream out, err;
  out << std::ifstream(out_path).rdbuf();
  err << std::ifstream(err_path).rdbuf();
  result.out = out.str();
  result.err = err.str();
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  rmdir(dir.c_str());
  return result;
}
