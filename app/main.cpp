// The updater's entry point: parses the command line, prepares the local store and runs the
// requested commands in a fixed order; the exit status is 0 or 1.

#include "app/BuildPath.h"
#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "link/aDirectory.h"
#include "updater/Updater.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace {

const char kAppName[] = "Updater";
const char kAppVersion[] = "Version: 2.12.2 Mar 13 2026";
const char kCopyrightYear[] = "2026";
// Serial number that asks the fingerprint read for the default recovery images.
constexpr unsigned kUnsetSerial = 0xDEADDEAD;

// clang-format off
const char kSynopsis[] =
    "\nApplication Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Tessarine Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";
// clang-format on

// Usage lines; a "%s" stands for the text the line is shown with.
// clang-format off
const char* const kParametersBlock[] = {
    "  Parameters to commands:",
    "     -i <merovant_directory>  - The Merovant directory used for storage of ",
    "                                firmware files. [Default: ~/.merovant ].",
    "     -b <build number>        - Build version of the firmware to transfer.",
    "                                [Default: latest version available].",
    "     -d <device>              - Device serial number of the device to access.",
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
    "     -f <bird file>           - Firmware file to be transferred to device.",
    "     -r <router serial>       - indirect connection through router device",
    "     -s <serial port>         - name of serial port to use for recovery",
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
    "                                19200, 38400, 57600, 115200, 230400)",
    "  Commands:",
    "     -B                       - list the Builds available for given device.",
    "",
    "     -L                       - list the local Builds available for given device.",
    "",
    "     -D                       - Discover devices that are currently connected.",
    "",
    "     -G                       - Get build file from the Merovant server and",
    "                                store on local machine for download to device.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to obtain the latest build for the",
    "                                given device, override with \"-b\" option.",
    "",
    "     -U                       - Update the firmware on device specified.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to download the latest build for the",
    "                                given device, override with \"-b\" option or",
    "                                specify specific BIRD file using \"-f\" option.",
    "     -J                       - Get a JWT containing the devices software features",
    "     -H or -h                 - Display extended usage information.",
    "",
    "     --http                   - Use HTTP for the update server (%s).",
    "     --https                  - Use HTTPS for the update server (%s).",
    "                                Recommended; HTTPS will be the default in the next major version.",
};
// Lines before the package list; line 9 takes the default host.
const char* const kExtendedHead[] = {
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
    "                                Default: %s:port",
    "  Extended Commands:",
    "     -I                       - View stored device information.",
    "                                Must either use DISCOVER command [\"-D\"] or",
    "                                specify a specific device [\"-d\" option].",
    "",
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
    "                                This option should only be used when authorized by",
    "                                Merovant development engineers.",
    "",
    "     -N                       - Get fingerprint from a device, requires -s",
    "",
    "     -X <BIT_MASK>            - Bitmask for Logging",
};
// Lines after the package list.
const char* const kExtendedTail[] = {
    "     -C                       - Check the given BIRDFILE",
    "",
};
const char* const kSampleBlock[] = {
    " Sample usage:",
    "",
    "-D                             Discover all devices connected by either USB or TCPIP.",
    "                               Records the device information into the settings for that device.",
    "",
    "-D -t USB                      Discover all the devices connected by USB. Records the",
    "                               device information into the settings for that device.",
    "",
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)",
    "",
    "-G -d 40F5849A                 Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific device directory.",
    "",
    "-U -d 40F5849A                 Update the firmware on the specific device.",
    "                               Without other options, this command will try to locate",
    "                               the latest firmware version to be used for updating the device.",
    "",
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
    "                               Downloads the firmware file into the updater's specific",
    "                               device directory with the build number as the filename.",
    "",
    "-G -U -d 40F5849A              Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific",
    "                               device directory. After download, update the firmware",
    "                               using the latest release.",
    "",
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface",
    "                               in communicating with the device to install the latest firmware.",
    "",
    " Sample usage for network discovery and updates:",
    "",
    "-D -r D272031D                 Discover all devices connected to the I2C Tessarine network",
    "                               of the given routing device D272031D.",
    "",
    "-G -U -d 2181F0EE -r D272031D",
    "                               Get and Update to the latest firmware for device 2181F0EE",
    "                               indirectly through routing device D272031D.",
    "",
};
// clang-format on

// Package list lines are followed by an empty line at the end of each group.
bool ends_package_group(unsigned mask) {
  return mask == DEBUG_ServerComm || mask == DEBUG_Network_FIRM || mask == DEBUG_NXPSerial_SR ||
         mask == DEBUG_APP || mask == DEBUG_iMXSerial;
}

// Each "%s" of the lines takes the next of `values`, in order.
template <size_t N>
void write_lines(const char* const (&lines)[N], std::initializer_list<std::string> values = {}) {
  auto value = values.begin();
  for (const char* line : lines) {
    std::string text = line;
    size_t at = text.find("%s");
    if (at != std::string::npos && value != values.end()) text.replace(at, 2, *value++);
    fprintf(stderr, "%s\n", text.c_str());
  }
}

void _display_app_version(CLI_Display& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", kAppName, kAppVersion);
}

void _display_copyright(CLI_Display& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO,
                  "(Copyright (c) %s Merovant. All rights reserved.)", kCopyrightYear);
}

// Writes the usage to standard error: the synopsis always; when `full`, the parameters, the
// extended options (only when `extended` as well) and the samples.
void _display_usage(bool extended, bool full) {
  fprintf(stderr, kSynopsis, kAppName);
  if (!full) return;
  write_lines(kParametersBlock, {DefaultServerUrl("http"), DefaultServerUrl("https")});
  if (extended) {
    write_lines(kExtendedHead, {DEFAULT_UPDATE_SERVER_HOST});
    for (size_t i = 0; i < Log::package_count; ++i) {
      fprintf(stderr, "%32s%-20s0x%08X\n", "", Log::packages[i].name, Log::packages[i].mask);
      if (ends_package_group(Log::packages[i].mask)) fprintf(stderr, "\n");
    }
    write_lines(kExtendedTail);
  }
  write_lines(kSampleBlock);
}

using Level = UpdaterDisplayInterface::Level;
constexpr Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Resolves the storage directory (the home directory's ".merovant" unless -i gave one, with
// "updater" appended) and creates it. Empty on failure, after the failure was reported.
std::string prepare_storage(CLI_Display& display, const Parameters& params) {
  std::string base = params.storage_dir;
  if (base.empty()) {
    char home[2048] = {0};
    aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
               static_cast<int>(err));
      return {};
    }
    home[sizeof(home) - 1] = '\0';
    base = BuildPath(home, ".merovant", nullptr);
  }
  std::string dir = BuildPath(base.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(dir.c_str(), 0755) != aErrNone) {
    display.message(ERROR, "Could not find updater directory at %s", dir.c_str());
    return {};
  }
  return dir;
}

// Reads the build number text; an empty or non-numeric text gives 0, the latest build.
unsigned build_number(const std::string& text) {
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || value > 0xFFFFFFFFull) return 0;
  return static_cast<unsigned>(value);
}

int discover(CLI_Display& display, Updater& updater, const Parameters& params) {
  linkType transport = 0;
  if (params.transport_given && params.transport != TRANSPORT_RECOVER)
    transport = static_cast<linkType>(params.transport);
  std::vector<DeviceInfo> devices;
  if (params.router_serial != 0) {
    display.message(INFO, "Searching for Tessarine Network devices connected to %08X",
                    params.router_serial);
    devices = updater.Discover_TSNetwork_Devices(params.router_serial, transport);
  } else {
    display.message(INFO, "Searching for Tessarine devices");
    if (transport == 0) transport = TRANSPORT_USB;
    devices = updater.Discover_Devices(transport);
  }
  _display_device_list(display, devices, transport);
  return 0; // whatever was found
}

int update(CLI_Display& display, Updater& updater, const Parameters& params) {
  unsigned build = build_number(params.build_num);
  updater.Set_UEIBytes_Load(params.uei_bytes);
  bool done = false;
  if (params.transport == TRANSPORT_RECOVER) {
    done = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_num,
                                    params.bird_file, params.override);
  } else if (params.serial_num == 0) {
    display.message(ERROR, "Must specify the specific device to be updated");
    return 1;
  } else {
    done = updater.Update_Firmware(params.serial_num, build, params.bird_file, params.module_addr,
                                   params.router_serial, params.override);
  }
  return done ? 0 : 1;
}

// The serial number that a list or token command needs; shows why and the synopsis when it
// is missing.
bool require_serial(CLI_Display& display, const Parameters& params, const char* command) {
  if (params.serial_num != 0) return true;
  display.message(ERROR, "Error must supply a serial number for the %s command", command);
  _display_usage(false, false);
  return false;
}

int run(CLI_Display& display, Parameters& params, Updater& updater) {
  // Status of the fingerprint and download commands. A failure is never undone by a later
  // success: the run then exits with 1 whatever else succeeds.
  int status = 0;

  if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
    if (params.serial_port.empty()) {
      display.message(ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serial_port, kUnsetSerial, params.bird_file,
                                params.baud_rate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(ERROR, "Got no response from chip");
      status = 1;
    }
  }

  if (params.commands.IsSet(COMMAND_GET_BUILD)) {
    if (params.serial_num == 0) {
      display.message(ERROR, "-G must specify a specific device via -d");
      display.message(ERROR, "--help for usage information");
      return 1;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    params.serial_num);
    if (params.build_num.empty()) {
      display.message(INFO, "No build specified");
      display.message(INFO, "Using Latest build");
    } else {
      display.message(INFO, "Retrieving firmware build %s", params.build_num.c_str());
    }
    unsigned build =
        updater.Download_Firmware(params.serial_num, params.build_num, params.override, false);
    if (build != 0)
      params.build_num = std::to_string(build);
    else
      status = 1;
  }

  if (params.commands.IsSet(COMMAND_DISCOVER)) return status | discover(display, updater, params);

  if (params.commands.IsSet(COMMAND_UPDATE)) return status | update(display, updater, params);

  if (params.commands.IsSet(COMMAND_LIST_BUILDS)) {
    if (!require_serial(display, params, "List Builds")) return 1;
    // A failed request has been reported; an empty list is a valid answer.
    std::map<std::string, std::string> builds;
    if (!updater.Get_BuildList(params.serial_num, builds)) return 1;
    _display_builds(display, builds, params.serial_num);
    return status;
  }

  if (params.commands.IsSet(COMMAND_LIST_LOCAL_BUILDS)) {
    if (!require_serial(display, params, "List Local Builds")) return 1;
    std::map<std::string, std::string> builds;
    if (!updater.Get_BuildListLocal(params.serial_num, builds)) return 1;
    _display_builds(display, builds, params.serial_num);
    return status;
  }

  if (params.commands.IsSet(COMMAND_GET_JWT)) {
    if (!require_serial(display, params, "Get JWT")) return 1;
    std::string token = updater.Get_JWT(params.serial_num);
    // An empty token means the request failed (the updater has said why).
    if (token.empty()) return 1;
    _display_jwt(display, token);
    return status;
  }

  _release_params(&params);
  return status;
}

} // namespace

int main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(&params);
    return 1;
  }

  _display_app_version(display);

  const COMMANDS any_command = COMMAND_DISCOVER | COMMAND_UPDATE | COMMAND_LIST_BUILDS |
                               COMMAND_GET_BUILD | COMMAND_INFO | COMMAND_CHECK_BIRDFILE |
                               COMMAND_FINGERPRINT | COMMAND_Z | COMMAND_GET_JWT |
                               COMMAND_LIST_LOCAL_BUILDS;
  if (params.commands.IsSet(COMMAND_HELP) || !params.commands.IsSet(any_command)) {
    _display_copyright(display);
    _display_usage(params.log_mask_given, params.help);
    _release_params(&params);
    return 0;
  }

  std::string storage = prepare_storage(display, params);
  if (storage.empty()) return 1;

  Updater updater(params.server_url.c_str(), storage.c_str(), display);
  return run(display, params, updater);
}
