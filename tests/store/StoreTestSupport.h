#pragma once
// Shared helpers of the store tests: a scratch directory removed at the end, small file
// helpers, and BIRD files made by the independent writer in peers/.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <dirent.h>

namespace storetest {

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

inline bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// Names in `dir` other than "." and "..", sorted.
inline std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (dirent* entry = readdir(handle)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(handle);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
public:
  ScratchDir() {
    char pattern[] = "/tmp/storetest.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) ADD_FAILURE() << "cannot create a scratch directory";
    path = made != nullptr ? made : "/nonexistent";
  }
  ~ScratchDir() {
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(const std::string& name) const { return path + "/" + name; }

  std::string path;
};

// Makes `out` from a JSON description with peers/bird_writer.py; true when the writer
// succeeded.
inline bool WriteBird(const std::string& out, const std::string& json) {
  std::string description = out + ".json";
  WriteAll(description, json);
  std::string command = std::string("/usr/bin/python3 ") + SOURCE_DIR + "/peers/bird_writer.py '" +
                        out + "' --json '" + description + "'";
  int status = system(command.c_str());
  remove(description.c_str());
  return status == 0;
}

} // namespace storetest
