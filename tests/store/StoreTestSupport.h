#pragma once
// Shared helpers of the store tests: small file helpers, and BIRD files made by the
// independent writer in peers/.

#include "tests/support/ScratchDir.h"

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

using ::ScratchDir;

// Makes `out` from a JSON description with peers/bird_writer.py; true when the writer
// succeeded.
inline bool WriteBird(const std::string& out, const std::string& json) {
  std::string description = out + ".json";
  WriteFile(description, json);
  std::string command = std::string("/usr/bin/python3 ") + SOURCE_DIR + "/peers/bird_writer.py '" +
                        out + "' --json '" + description + "'";
  int status = system(command.c_str());
  remove(description.c_str());
  return status == 0;
}

} // namespace storetest
