#include "app/Parameters.h"

#include "app/Log.h"
#include "link/aDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char* const DEFAULT_UPDATE_SERVER_HOST = "updates.tessarine.invalid";
const char* const UPDATE_SERVER_PATH = "/cgi/u";

std::string DefaultServerUrl(const char* scheme) {
  return std::string(scheme) + "://" + DEFAULT_UPDATE_SERVER_HOST + UPDATE_SERVER_PATH;
}

namespace {

enum class Opt {
  ListBuilds,
  ListLocalBuilds,
  Discover,
  GetBuild,
  Info,
  Update,
  Override,
  Fingerprint,
  Unhandled,
  CheckBirdFile,
  GetJwt,
  Help,
  OptionN,
  LogMask,
  Z,
  UeiBytes,
  StorageDir,
  Build,
  Device,
  Transport,
  BirdFile,
  Router,
  SerialPort,
  BaudRate,
  Echo,
  LogMessage,
  LogFile,
  ServerUrl,
  Http,
  Https,
};

struct OptionSpec {
  const char* name;
  bool takes_arg;
  Opt id;
};

const OptionSpec kOptions[] = {
    {"-B", false, Opt::ListBuilds},
    {"-L", false, Opt::ListLocalBuilds},
    {"-D", false, Opt::Discover},
    {"-G", false, Opt::GetBuild},
    {"-I", false, Opt::Info},
    {"-U", false, Opt::Update},
    {"-OVERRIDE", false, Opt::Override},
    {"-N", false, Opt::Fingerprint},
    {"-Y", false, Opt::Unhandled},
    {"-C", false, Opt::CheckBirdFile},
    {"-J", false, Opt::GetJwt},
    {"-h", false, Opt::Help},
    {"-H", false, Opt::Help},
    {"-n", false, Opt::OptionN},
    {"-X", true, Opt::LogMask},
    {"-Z", true, Opt::Z},
    {"-m", true, Opt::UeiBytes},
    {"-i", true, Opt::StorageDir},
    {"-b", true, Opt::Build},
    {"-d", true, Opt::Device},
    {"-t", true, Opt::Transport},
    {"-f", true, Opt::BirdFile},
    {"-r", true, Opt::Router},
    {"-s", true, Opt::SerialPort},
    {"-o", true, Opt::BaudRate},
    {"-e", false, Opt::Echo},
    {"-l", true, Opt::LogMessage},
    {"-k", true, Opt::LogFile},
    {"-u", true, Opt::ServerUrl},
    {"--help", false, Opt::Help},
    {"--http", false, Opt::Http},
    {"--https", false, Opt::Https},
};

// The option named exactly `name`, else the only option that `name` is a prefix of; null
// when there is none or several.
const OptionSpec* find_option(const std::string& name) {
  for (const OptionSpec& option : kOptions)
    if (name == option.name) return &option;
  const OptionSpec* found = nullptr;
  for (const OptionSpec& option : kOptions) {
    if (strncmp(option.name, name.c_str(), name.size()) != 0) continue;
    if (found != nullptr) return nullptr;
    found = &option;
  }
  return found;
}

// The digits of `base` (10 or 16); hexadecimal digits in either case.
const char* digits_of(unsigned base) {
  return base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
}

// The value of one of the digits of digits_of().
unsigned digit_value(char c) {
  return (c >= '0' && c <= '9') ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
}

enum class NumberStatus { Ok, Invalid, TooWide };

// Reads all of `text` as an unsigned number of `base` (10 or 16) without sign, blanks or
// prefix. Invalid for an empty text or any other character; TooWide above 32 bits.
NumberStatus read_u32(const char* text, unsigned base, uint32_t* out) {
  if (text == nullptr || *text == '\0' || text[strspn(text, digits_of(base))] != '\0')
    return NumberStatus::Invalid;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    value = value * base + digit_value(*p);
    if (value > 0xFFFFFFFFu) return NumberStatus::TooWide;
  }
  *out = static_cast<uint32_t>(value);
  return NumberStatus::Ok;
}

unsigned get_arg(const char* text, char** end, unsigned base) {
  if (end == nullptr || text == nullptr) return 0;
  if (text[strspn(text, digits_of(base))] != '\0') return 0;
  unsigned value = 0; // unsigned arithmetic keeps the low 32 bits
  const char* p = text;
  for (; *p != '\0'; ++p)
    value = value * base + digit_value(*p);
  *end = const_cast<char*>(p);
  return value;
}

bool has_hex_prefix(const std::string& text) {
  return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// A serial number of -d or -r: an optional "0x" prefix, then hexadecimal, non-zero, at most
// 32 bits. Shows `invalid` with the text (prefix dropped) and returns false otherwise.
bool parse_serial(UpdaterDisplayInterface& display, std::string text, const char* prefix_note,
                  const char* invalid, uint32_t* out) {
  if (has_hex_prefix(text)) {
    Log::log(DEBUG_Updater, "%s", prefix_note);
    text.erase(0, 2);
  }
  uint32_t value = 0;
  NumberStatus status = read_u32(text.c_str(), 16, &value);
  if (status == NumberStatus::TooWide) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s [%s]: wider than 32 bits", invalid,
                    text.c_str());
    return false;
  }
  if (status != NumberStatus::Ok || value == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s [%s]", invalid, text.c_str());
    return false;
  }
  *out = value;
  return true;
}

// A decimal number of -b or -o. Shows "Invalid <what> obtained from argument [text]" (with
// a note when it is wider than 32 bits) and returns false when it is not one.
bool parse_decimal(UpdaterDisplayInterface& display, const std::string& text, const char* what,
                   uint32_t* out) {
  NumberStatus status = read_u32(text.c_str(), 10, out);
  if (status == NumberStatus::Ok) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Invalid %s obtained from argument [%s]%s",
                  what, text.c_str(),
                  status == NumberStatus::TooWide ? ": wider than 32 bits" : "");
  return false;
}

} // namespace

unsigned _get_hex_arg(const char* text, char** end) {
  return get_arg(text, end, 16);
}

unsigned _get_int_arg(const char* text, char** end) {
  return get_arg(text, end, 10);
}

int _validate_params(Parameters*) {
  return 0;
}

int _release_params(Parameters*) {
  return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
  const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

  *params = Parameters();
  if (argc > 0 && argv[0] != nullptr) {
    const char* name = argv[0];
    for (const char* p = argv[0]; *p != '\0'; ++p)
      if (*p == '/' || *p == '\\') name = p + 1;
    params->app_name = name;
  }
  char home[2048] = {0};
  if (aDirectory_GetHomeDirectory(home, sizeof(home)) != aErrNone) home[0] = '\0';
  home[sizeof(home) - 1] = '\0';
  params->home_dir = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

  bool failed = false;
  int server_choices = 0;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word == nullptr || word[0] != '-') continue;

    // "-d=40F5849A": the option's name ends at the first "=".
    const char* equals = strchr(word, '=');
    std::string name = equals != nullptr ? std::string(word, equals) : std::string(word);
    const OptionSpec* option = find_option(name);
    if (option == nullptr) continue; // unknown or ambiguous: skipped

    std::string arg;
    if (option->takes_arg) {
      if (equals != nullptr)
        arg = equals + 1;
      else if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-')
        arg = argv[++i];
      else
        continue; // missing argument: the next word is read as an option
    } else if (equals != nullptr) {
      continue; // a value given to an option that takes none
    }

    switch (option->id) {
    case Opt::ListBuilds:
      params->commands.Set(COMMAND_LIST_BUILDS);
      break;
    case Opt::ListLocalBuilds:
      params->commands.Set(COMMAND_LIST_LOCAL_BUILDS);
      break;
    case Opt::Discover:
      params->commands.Set(COMMAND_DISCOVER);
      break;
    case Opt::GetBuild:
      params->commands.Set(COMMAND_GET_BUILD);
      break;
    case Opt::Info:
      params->commands.Set(COMMAND_INFO);
      break;
    case Opt::Update:
      params->commands.Set(COMMAND_UPDATE);
      break;
    case Opt::Override:
      params->override = true;
      break;
    case Opt::Fingerprint:
      params->commands.Set(COMMAND_FINGERPRINT);
      break;
    case Opt::Unhandled:
      display.message(ERROR, "Unhandled command: [%s]", option->name);
      failed = true;
      break;
    case Opt::CheckBirdFile:
      params->commands.Set(COMMAND_CHECK_BIRDFILE);
      break;
    case Opt::GetJwt:
      params->commands.Set(COMMAND_GET_JWT);
      break;
    case Opt::Help:
      // Help ends the parse: later options are not read and earlier errors are dropped.
      params->commands.Set(COMMAND_HELP);
      params->help = true;
      return 0;
    case Opt::OptionN:
      params->option_n = true;
      break;
    case Opt::LogMask: {
      params->log_mask_given = true;
      int base = has_hex_prefix(arg) ? 16 : 10;
      char* end = nullptr;
      unsigned long long value = strtoull(arg.c_str(), &end, base);
      params->log_mask = static_cast<uint32_t>(value);
      if (end != nullptr && *end != '\0')
        display.message(ERROR, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        option->name, end);
      else
        Log::ActivatePackage(params->log_mask);
      break;
    }
    case Opt::Z:
      params->commands.Set(COMMAND_Z);
      break;
    case Opt::UeiBytes:
      params->uei_bytes = arg.compare(0, 1, "1") == 0 || arg.compare(0, 4, "true") == 0;
      break;
    case Opt::StorageDir:
      params->storage_dir = arg;
      break;
    case Opt::Build: {
      uint32_t build = 0;
      if (parse_decimal(display, arg, "build number", &build))
        params->build_num = std::to_string(build);
      else
        failed = true;
      break;
    }
    case Opt::Device:
      if (!parse_serial(display, arg, "Discarding '0x' serial number prefix\n",
                        "Invalid serial number obtained from argument", &params->serial_num))
        failed = true;
      break;
    case Opt::Transport:
      params->transport_given = true;
      if (arg.compare(0, 3, "USB") == 0) {
        params->transport = TRANSPORT_USB;
      } else if (arg.compare(0, 3, "TCP") == 0) {
        params->transport = TRANSPORT_TCPIP;
      } else if (arg.compare(0, 7, "RECOVER") == 0) {
        params->transport = TRANSPORT_RECOVER;
      } else {
        display.message(
            ERROR, "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
            arg.c_str());
        params->transport = TRANSPORT_INVALID;
        failed = true;
      }
      break;
    case Opt::BirdFile:
      params->bird_file = arg;
      break;
    case Opt::Router:
      if (!parse_serial(display, arg, "Discarding '0x' router serial number prefix\n",
                        "Invalid router serial number obtained from argument",
                        &params->router_serial))
        failed = true;
      break;
    case Opt::SerialPort:
      params->serial_port = arg;
      break;
    case Opt::BaudRate:
      if (!parse_decimal(display, arg, "baud rate", &params->baud_rate)) failed = true;
      break;
    case Opt::Echo:
      params->echo = true;
      break;
    case Opt::LogMessage:
      params->log_message = arg;
      break;
    case Opt::LogFile:
      params->log_file = arg;
      break;
    case Opt::ServerUrl:
      params->server_url = arg;
      ++server_choices;
      break;
    case Opt::Http:
      params->server_url = DefaultServerUrl("http");
      ++server_choices;
      break;
    case Opt::Https:
      params->server_url = DefaultServerUrl("https");
      ++server_choices;
      break;
    }
  }

  if (server_choices > 1) {
    display.message(ERROR, "Multiple update server URLs specified. Choose one of: --https, "
                           "--http, or -U <host:port>.");
    failed = true;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
  for (int i = 0; i < argc; ++i)
    Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");

  if (failed) return 1;
  return _validate_params(params);
}
