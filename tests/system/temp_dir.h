#pragma once
// A fresh directory under /tmp for one test, removed afterwards.

#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <string>

class TempDir {
public:
  TempDir() {
    char pattern[] = "/tmp/test_system_XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  static void write(const std::string& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary);
    out << content;
  }

private:
  std::string path_;
};
