#pragma once
// Console display: information lines on standard output, error lines on standard error,
// progress bar and spinner on standard output only when it is a terminal.

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
  // Makes standard output and standard error unbuffered.
  CLI_Display();
  ~CLI_Display() = default;
  CLI_Display(const CLI_Display&) = default;
  CLI_Display& operator=(const CLI_Display&) = default;

  void display_progress(bool start) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool active, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};
