#pragma once
// Starts peers/update_server.py on loopback for one test and stops it again. The server
// reads its configuration (devices, raw answers, faults) from a JSON file for every request,
// so a test changes answers with set_config between requests.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class LocalUpdateServer {
public:
  explicit LocalUpdateServer(bool tls = false) : tls_(tls) {
    char pattern[] = "/tmp/update_server_test.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::filesystem::create_directories(store());
    set_config("{}");

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::string script = std::string(SOURCE_DIR) + "/peers/update_server.py";
    std::vector<std::string> args = {"/usr/bin/python3", script,  "--config", config_path(),
                                     "--store",          store(), "--log",    log_path(),
                                     "--idle",           "120"};
    if (tls) args.push_back("--tls");
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start the update server");
    }
    // The first line is the port, the second the certificate to trust (empty for HTTP).
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::count(text.begin(), text.end(), '\n') < 2 &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[256];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    std::istringstream lines(text);
    std::string port;
    std::getline(lines, port);
    std::getline(lines, ca_file_);
    port_ = atoi(port.c_str());
    if (port_ <= 0) {
      stop();
      throw std::runtime_error("the update server did not start");
    }
  }

  ~LocalUpdateServer() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  LocalUpdateServer(const LocalUpdateServer&) = delete;
  LocalUpdateServer& operator=(const LocalUpdateServer&) = delete;

  std::string url() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
           "/cgi/u";
  }
  int port() const { return port_; }
  // The certificate a client must trust to reach the HTTPS server; empty for HTTP.
  const std::string& ca_file() const { return ca_file_; }
  const std::string& dir() const { return dir_; }
  std::string store() const { return dir_ + "/store"; }

  // Replaces the configuration; written beside and renamed so a request never reads half.
  void set_config(const std::string& json) const {
    std::string partial = config_path() + ".part";
    std::ofstream(partial, std::ios::binary) << json;
    std::filesystem::rename(partial, config_path());
  }

  // Puts a build into the store, under the device's serial number text.
  void add_build(const std::string& serial, const std::string& build,
                 const std::string& bytes) const {
    std::filesystem::create_directories(store() + "/" + serial);
    std::ofstream(store() + "/" + serial + "/" + build + ".bird", std::ios::binary) << bytes;
  }

  // The request lines received so far, e.g. "GET /cgi/u?op=hi&rv=2& HTTP/1.1".
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path());
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }
  // Just the query of each request.
  std::vector<std::string> queries() const {
    std::vector<std::string> out;
    for (const std::string& line : requests()) {
      size_t q = line.find('?');
      size_t end = line.rfind(' ');
      out.push_back(q == std::string::npos ? "" : line.substr(q + 1, end - q - 1));
    }
    return out;
  }
  void clear_requests() const { std::ofstream(log_path(), std::ios::trunc); }

private:
  std::string config_path() const { return dir_ + "/config.json"; }
  std::string log_path() const { return dir_ + "/requests.log"; }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool tls_;
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string ca_file_;
};
