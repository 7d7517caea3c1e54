#pragma once
// Runs a peer program as a child process that ends when its standard input closes. The test
// holds that input open through a pipe and reads what the peer prints line by line.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

class PeerProcess {
public:
  // Starts `args[0]` with the arguments that follow; started() tells whether it runs.
  explicit PeerProcess(const std::vector<std::string>& args) {
    int toPeer[2], fromPeer[2];
    if (pipe2(toPeer, O_CLOEXEC) != 0) return;
    if (pipe2(fromPeer, O_CLOEXEC) != 0) {
      close(toPeer[0]);
      close(toPeer[1]);
      return;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toPeer[0], STDIN_FILENO);
      dup2(fromPeer[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(toPeer[0]);
    close(fromPeer[1]);
    if (pid_ < 0) {
      close(toPeer[1]);
      close(fromPeer[0]);
      return;
    }
    input_ = toPeer[1];
    output_ = fdopen(fromPeer[0], "r");
  }
  ~PeerProcess() { wait(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line the peer printed, with its line end; empty at the end of its output.
  std::string readLine() {
    char line[512] = {};
    if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr) return {};
    return line;
  }

  // Closes the peer's input, which tells it to end.
  void closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }

  // Ends the peer and waits for it: its exit status, or -1 when it did not exit normally.
  int wait() {
    closeInput();
    int status = 0;
    const pid_t done = pid_ > 0 ? waitpid(pid_, &status, 0) : -1;
    pid_ = -1;
    if (output_ != nullptr) std::fclose(output_);
    output_ = nullptr;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  FILE* output_ = nullptr;
};
