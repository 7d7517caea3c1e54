#pragma once
// Console display: information lines on standard output, error lines on standard error,
// progress bar and spinner on standard output only when it is a terminal.

#include "app/UpdaterDisplayInterface.h"
#include "link/discover.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

#include <map>
#include <string>
#include <vector>

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

// Result displays of the driver, written at information level through `display`.

// The builds of a device (build number text to version text), newest version first.
void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     unsigned int serial);
// "[ %08X %08X %08X %08X ]" with the four words in order.
void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint);
// The discovered modules under a title naming `transport`; each line's layout follows the
// entry's own transport.
void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType transport);
void _display_jwt(UpdaterDisplayInterface& display, std::string token);
