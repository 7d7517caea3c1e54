#include "app/CLI_Display.h"

#include "link/aDefs.h"
#include "server/UpdateServerRequest.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Width of a full bar without label, and the longest label that leaves a bar of at least
// one character.
constexpr int kBarWidth = 69;
constexpr int kMaxLabel = kBarWidth - 4 - 1;
// Width of the blanking that ends a progress or spinner line.
constexpr int kBlankWidth = 88;

bool stdout_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void blank_line() {
  fprintf(stdout, "\r%*s\r", kBlankWidth, " ");
}

} // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool start) {
  if (!stdout_is_terminal()) return;
  if (!start) blank_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!stdout_is_terminal()) return;
  static const char bar[] = "=====================================================================";
  static_assert(sizeof(bar) - 1 == kBarWidth, "bar text is one full bar");

  // A fraction outside 0..1 (or not a number) would make the bar longer than the line or
  // give a negative field width; show it as the nearest end instead.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;

  int label_len = 0;
  if (label != nullptr) label_len = static_cast<int>(strnlen(label, kMaxLabel + 1));
  if (label_len > kMaxLabel) label_len = kMaxLabel;

  int width = label != nullptr ? kBarWidth - label_len - 4 : kBarWidth;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  // At 100% the blank field is -1 wide: printf shows it as a single blank.
  int blanks = width - filled - 1;
  if (label != nullptr)
    fprintf(stdout, "\r (%.*s) [%.*s>%*s] (%3d%% ) ", label_len, label, filled, bar, blanks, "",
            percent);
  else
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, bar, blanks, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  static const char* const frames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
  static unsigned counter = 0;
  if (!stdout_is_terminal()) return;
  if (!active) {
    blank_line();
    return;
  }
  if (label != nullptr)
    fprintf(stdout, "\r (%s) %s      \r", label, frames[counter]);
  else
    fprintf(stdout, "\r %s      \r", frames[counter]);
  counter = (counter + 1) % 8;
}

void CLI_Display::info_message(const char* text) {
  fprintf(stdout, "%s\n", text != nullptr ? text : "");
}

void CLI_Display::error_message(const char* text) {
  fprintf(stderr, "%s\n", text != nullptr ? text : "");
}

void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     unsigned int serial) {
  if (builds.empty()) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "No builds found for device [%08X]",
                    serial);
    return;
  }
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build List for device [%08X]:\n", serial);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& build : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", build.first.c_str(),
                    build.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "[ %08X %08X %08X %08X ]",
                  fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                  fingerprint.words[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType transport) {
  const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
  const char* title = transport == 1 ? "USB" : transport == 2 ? "TCPIP" : "Unknown";
  display.message(INFO, "Discovered Devices: (%s)", title);
  if (devices.empty()) {
    display.message(INFO, "    No devices found.");
    return;
  }
  if (transport == 1)
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)"
                          "    Device Name");
  else
    display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)"
                          "   [IP address]       Device Name");

  for (const DeviceInfo& device : devices) {
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(static_cast<int>(spec.model));
    if (model == nullptr) model = "";
    if (spec.type == 2) {
      // The address is kept in network byte order: its bytes are the dotted form in order.
      const uint8_t* ip = reinterpret_cast<const uint8_t*>(&spec.t.ip.ip_address);
      char address[20];
      snprintf(address, sizeof(address), "[%u.%u.%u.%u]", ip[0], ip[1], ip[2], ip[3]);
      display.message(
          INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
          spec.serial_num, spec.module, spec.router, model, device.version_major,
          device.version_minor, device.version_patch, device.build, address, device.name.c_str());
    } else if (device.error != 0) {
      display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                      spec.serial_num, device.error);
    } else {
      display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s",
                      spec.serial_num, spec.module, spec.router, model, device.version_major,
                      device.version_minor, device.version_patch, device.build,
                      device.name.c_str());
    }
  }
}

void _display_jwt(UpdaterDisplayInterface& display, std::string token) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", token.c_str());
}
