#pragma once
// A display that keeps what it was shown, for tests of code that reports through one.

#include "app/UpdaterDisplayInterface.h"

#include <string>
#include <vector>

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  std::vector<std::string> infos;
  std::vector<std::string> errors;
  int spinner_calls = 0;

  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override { ++spinner_calls; }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }
};
