#pragma once
// The command line turned into one record: the requested commands and their values.

#include "app/UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>

typedef uint32_t COMMANDS;

constexpr COMMANDS COMMAND_DISCOVER = 0x1;
constexpr COMMANDS COMMAND_UPDATE = 0x2;
constexpr COMMANDS COMMAND_LIST_BUILDS = 0x4;
constexpr COMMANDS COMMAND_GET_BUILD = 0x8;
constexpr COMMANDS COMMAND_INFO = 0x10;
constexpr COMMANDS COMMAND_CHECK_BIRDFILE = 0x20;
constexpr COMMANDS COMMAND_FINGERPRINT = 0x40;
constexpr COMMANDS COMMAND_Z = 0x80;
constexpr COMMANDS COMMAND_GET_JWT = 0x100;
constexpr COMMANDS COMMAND_LIST_LOCAL_BUILDS = 0x200;
constexpr COMMANDS COMMAND_HELP = 0x80000000;

// Transport codes of -t. USB and TCP/IP are the link types handed to discovery.
constexpr uint32_t TRANSPORT_INVALID = 0;
constexpr uint32_t TRANSPORT_USB = 1;
constexpr uint32_t TRANSPORT_TCPIP = 2;
constexpr uint32_t TRANSPORT_RECOVER = 255;

// Host of the default update server and the path of its query endpoint.
extern const char* const DEFAULT_UPDATE_SERVER_HOST;
extern const char* const UPDATE_SERVER_PATH;
// The default update server's URL with the given scheme ("http" or "https").
std::string DefaultServerUrl(const char* scheme);

class CommandsClass {
public:
  void Set(COMMANDS c) { word |= c; }
  // True when any bit of `c` is set.
  bool IsSet(COMMANDS c) const { return (word & c) != 0; }
  COMMANDS Get() const { return word; }

private:
  COMMANDS word = 0;
};

struct Parameters {
  CommandsClass commands;
  uint32_t serial_num = 0;
  uint32_t router_serial = 0;
  uint32_t transport = TRANSPORT_USB;
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_addr = 0;
  std::string bird_file;
  std::string log_message;
  std::string build_num; // decimal text; empty for the latest build
  bool echo = false;
  std::string server_url = DefaultServerUrl("http");
  bool option_n = false;
  std::string storage_dir; // empty: the home directory
  std::string app_name;
  std::string home_dir;
  std::string log_mode = "a+";
  std::string log_file = "Updater.log";
  bool override = false;
  bool uei_bytes = true;
  uint32_t log_mask = 0;
  bool log_mask_given = false;
  bool help = false;
};

// Fills `params` from the command line: defaults first, then the options in order. Every
// parameter error is shown on `display` at error level when it is found and the parse goes
// on; returns 1 after any error, otherwise (and for a help request) 0.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// Final consistency check of a parse without errors; returns 0.
int _validate_params(Parameters* params);
// Releases storage attached to the record beyond its own fields; returns 0.
int _release_params(Parameters* params);

// Hexadecimal and decimal readers. They return 0 when `end` is null or `text` holds any
// character that is not a digit of the base; otherwise they parse all of `text`, store the
// stop position in `*end` and return the low 32 bits of the value. An empty text gives 0.
unsigned _get_hex_arg(const char* text, char** end);
unsigned _get_int_arg(const char* text, char** end);
