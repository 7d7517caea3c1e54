#pragma once
// A fresh directory under /tmp for one test, removed with its contents at the end, and the
// small file helpers the tests use in it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class ScratchDir {
public:
  ScratchDir() {
    char pattern[] = "/tmp/scratch.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) ADD_FAILURE() << "cannot create a scratch directory";
    path_ = made != nullptr ? made : "/nonexistent";
    made_ = made != nullptr;
  }
  ~ScratchDir() {
    std::error_code error;
    if (made_) std::filesystem::remove_all(path_, error);
    if (error) ADD_FAILURE() << "could not remove " << path_ << ": " << error.message();
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
  bool made_ = false;
};

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces the file at `path` with `bytes`.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
