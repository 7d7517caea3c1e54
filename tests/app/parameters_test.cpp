#include "tests/support/LogCapture.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "tests/app/RecordingDisplay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct ParseResult {
  int status;
  Parameters params;
  RecordingDisplay display;
};

// Parses `args` (the program name is added in front) with the log captured in `log`.
void parse(const std::vector<std::string>& args, ParseResult* out, std::string* log = nullptr) {
  std::vector<std::string> words = {"/usr/local/bin/updater"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words)
    argv.push_back(&word[0]);
  argv.push_back(nullptr);

  Log::package_bitmask = 0;
  LogCapture capture;
  out->status =
      _get_params(out->display, static_cast<int>(words.size()), argv.data(), &out->params);
  if (log != nullptr) *log = capture.take();
}

const char* const kBadTransport =
    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER";
const char* const kMultipleUrls = "Multiple update server URLs specified. Choose one of: --https, "
                                  "--http, or -U <host:port>.";

std::string with(const char* format, const char* arg) {
  char text[512];
  snprintf(text, sizeof(text), format, arg);
  return text;
}

struct Case {
  const char* what;
  std::vector<std::string> args;
  int status;
  COMMANDS commands;
  std::vector<std::string> errors;
  std::function<void(const Parameters&)> check;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      // Words and option matching.
      {"nothing", {}, 0, 0, {}, nullptr},
      {"plain words are passed over", {"word", "40F5849A", "-D"}, 0, COMMAND_DISCOVER, {}, nullptr},
      {"command bits accumulate",
       {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"},
       0,
       COMMAND_LIST_BUILDS | COMMAND_LIST_LOCAL_BUILDS | COMMAND_DISCOVER | COMMAND_GET_BUILD |
           COMMAND_INFO | COMMAND_UPDATE | COMMAND_FINGERPRINT | COMMAND_CHECK_BIRDFILE |
           COMMAND_GET_JWT,
       {},
       nullptr},
      {"unknown option", {"-q", "-D"}, 0, COMMAND_DISCOVER, {}, nullptr},
      {"combined one-letter options", {"-GU"}, 0, 0, {}, nullptr},
      {"argument glued to the option",
       {"-d40F5849A"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0u); }},
      {"case matters in names",
       {"-override"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_FALSE(p.override); }},
      {"ambiguous prefix",
       {"--ht"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.server_url, DefaultServerUrl("http")); }},
      {"ambiguous prefix of three", {"--h"}, 0, 0, {}, nullptr},
      {"unique prefix of --https",
       {"--https"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.server_url, DefaultServerUrl("https")); }},
      {"exact match wins over prefix",
       {"--http"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.server_url, DefaultServerUrl("http")); }},
      {"-O is -OVERRIDE", {"-O"}, 0, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
      {"-OVER is -OVERRIDE",
       {"-OVER"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_TRUE(p.override); }},
      {"-OVERRIDE sets no command",
       {"-OVERRIDE"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_TRUE(p.override); }},
      {"--he is --help",
       {"--he"},
       0,
       COMMAND_HELP,
       {},
       [](const Parameters& p) { EXPECT_TRUE(p.help); }},
      {"-Y is rejected", {"-Y", "-D"}, 1, COMMAND_DISCOVER, {"Unhandled command: [-Y]"}, nullptr},

      // Arguments.
      {"argument after =",
       {"-d=0x40F5849A"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0x40F5849Au); }},
      {"argument in the next word, lower case",
       {"-d", "40f5849a"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0x40F5849Au); }},
      {"last -d wins",
       {"-d", "1", "-d", "2"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 2u); }},
      {"next word beginning with - is an option",
       {"-d", "-D"},
       0,
       COMMAND_DISCOVER,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0u); }},
      {"missing argument at the end", {"-D", "-d"}, 0, COMMAND_DISCOVER, {}, nullptr},
      {"value given to an option without argument", {"-D=1", "-U"}, 0, COMMAND_UPDATE, {}, nullptr},
      {"-Z needs its argument", {"-Z", "x"}, 0, COMMAND_Z, {}, nullptr},
      {"-Z without argument", {"-Z"}, 0, 0, {}, nullptr},

      // Serial numbers.
      {"-d 0", {"-d", "0"}, 1, 0, {"Invalid serial number obtained from argument [0]"}, nullptr},
      {"-d 0x alone",
       {"-d", "0x"},
       1,
       0,
       {"Invalid serial number obtained from argument []"},
       nullptr},
      {"-d with a non-hex digit",
       {"-d", "12G4"},
       1,
       0,
       {"Invalid serial number obtained from argument [12G4]"},
       nullptr},
      {"-d 0X prefix",
       {"-d", "0XDEADDEAD"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0xDEADDEADu); }},
      {"-d with leading zeros fits",
       {"-d", "0000000040F5849A"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.serial_num, 0x40F5849Au); }},
      {"-d wider than 32 bits",
       {"-d", "140F5849A"},
       1,
       0,
       {"Invalid serial number obtained from argument [140F5849A]: wider than 32 bits"},
       nullptr},
      {"-d wider than 64 bits",
       {"-d", "0x100000000000000000"},
       1,
       0,
       {"Invalid serial number obtained from argument [100000000000000000]: wider than 32 bits"},
       nullptr},
      {"-r",
       {"-r", "0xD272031D"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.router_serial, 0xD272031Du); }},
      {"-r 0",
       {"-r", "0"},
       1,
       0,
       {"Invalid router serial number obtained from argument [0]"},
       nullptr},
      {"-r wider than 32 bits",
       {"-r", "FFFFFFFFF"},
       1,
       0,
       {"Invalid router serial number obtained from argument [FFFFFFFFF]: wider than 32 bits"},
       nullptr},

      // Build numbers and baud rates.
      {"-b",
       {"-b", "99528558"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.build_num, "99528558"); }},
      {"-b with leading zeros",
       {"-b", "007"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.build_num, "7"); }},
      {"-b largest",
       {"-b", "4294967295"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.build_num, "4294967295"); }},
      {"-b with a non-digit",
       {"-b", "12a"},
       1,
       0,
       {"Invalid build number obtained from argument [12a]"},
       [](const Parameters& p) { EXPECT_EQ(p.build_num, ""); }},
      {"-b empty", {"-b="}, 1, 0, {"Invalid build number obtained from argument []"}, nullptr},
      {"-b wider than 32 bits",
       {"-b", "4294967296"},
       1,
       0,
       {"Invalid build number obtained from argument [4294967296]: wider than 32 bits"},
       nullptr},
      {"-o", {"-o", "9600"}, 0, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 9600u); }},
      {"-o with a non-digit",
       {"-o", "96k"},
       1,
       0,
       {"Invalid baud rate obtained from argument [96k]"},
       [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 115200u); }},

      // Transports.
      {"-t USB",
       {"-t", "USB"},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_EQ(p.transport, TRANSPORT_USB);
         EXPECT_TRUE(p.transport_given);
       }},
      {"-t TCP",
       {"-t", "TCP"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCPIP); }},
      {"-t TCPIP",
       {"-t", "TCPIP"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCPIP); }},
      {"-t RECOVER",
       {"-t=RECOVER"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_RECOVER); }},
      {"-t RECOVE is too short",
       {"-t", "RECOVE"},
       1,
       0,
       {with(kBadTransport, "RECOVE")},
       [](const Parameters& p) {
         EXPECT_EQ(p.transport, TRANSPORT_INVALID);
         EXPECT_TRUE(p.transport_given);
       }},
      {"-t is case-sensitive", {"-t", "usb"}, 1, 0, {with(kBadTransport, "usb")}, nullptr},
      {"no -t",
       {},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_EQ(p.transport, TRANSPORT_USB);
         EXPECT_FALSE(p.transport_given);
       }},

      // Log mask.
      {"-X hexadecimal",
       {"-X", "0x10000"},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_EQ(p.log_mask, 0x10000u);
         EXPECT_TRUE(p.log_mask_given);
       }},
      {"-X decimal",
       {"-X", "65536"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.log_mask, 0x10000u); }},
      {"-X with characters left over",
       {"-X", "12z"},
       0,
       0,
       {"Invalid format for \"-X\" parameter, unprocessed characters [z]"},
       [](const Parameters& p) { EXPECT_TRUE(p.log_mask_given); }},
      {"-X hex with characters left over",
       {"-X", "0x1g"},
       0,
       0,
       {"Invalid format for \"-X\" parameter, unprocessed characters [g]"},
       nullptr},

      // Help.
      {"help ends the parse",
       {"-D", "-h", "-U", "-X", "0x10000"},
       0,
       COMMAND_DISCOVER | COMMAND_HELP,
       {},
       [](const Parameters& p) {
         EXPECT_FALSE(p.log_mask_given);
         EXPECT_TRUE(p.help);
       }},
      {"-X before help",
       {"-X", "0x10000", "-H"},
       0,
       COMMAND_HELP,
       {},
       [](const Parameters& p) { EXPECT_TRUE(p.log_mask_given); }},
      {"error before help is dropped",
       {"-t", "usb", "--help"},
       0,
       COMMAND_HELP,
       {with(kBadTransport, "usb")},
       nullptr},
      {"server choices are not counted after help",
       {"--https", "-u", "x", "-h"},
       0,
       COMMAND_HELP,
       {},
       nullptr},

      // Server choice.
      {"-u verbatim",
       {"-u", "127.0.0.1:8080"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_EQ(p.server_url, "127.0.0.1:8080"); }},
      {"--https and -u",
       {"--https", "-u", "host:1"},
       1,
       0,
       {kMultipleUrls},
       [](const Parameters& p) { EXPECT_EQ(p.server_url, "host:1"); }},
      {"--https twice", {"--https", "--https"}, 1, 0, {kMultipleUrls}, nullptr},

      // Other values.
      {"-m 0", {"-m", "0"}, 0, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes); }},
      {"-m false",
       {"-m", "false"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes); }},
      {"-m yes", {"-m", "yes"}, 0, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes); }},
      {"-m 1", {"-m", "1"}, 0, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes); }},
      {"-m true",
       {"-m", "trueish"},
       0,
       0,
       {},
       [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes); }},
      {"strings",
       {"-i", "/data", "-f", "a.bird", "-s", "/dev/ttyS0", "-l", "msg", "-k", "x.log"},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_EQ(p.storage_dir, "/data");
         EXPECT_EQ(p.bird_file, "a.bird");
         EXPECT_EQ(p.serial_port, "/dev/ttyS0");
         EXPECT_EQ(p.log_message, "msg");
         EXPECT_EQ(p.log_file, "x.log");
       }},
      {"flags",
       {"-e", "-n"},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_TRUE(p.echo);
         EXPECT_TRUE(p.option_n);
       }},
      {"defaults",
       {},
       0,
       0,
       {},
       [](const Parameters& p) {
         EXPECT_EQ(p.app_name, "updater");
         EXPECT_EQ(p.server_url, DefaultServerUrl("http"));
         EXPECT_EQ(p.log_mode, "a+");
         EXPECT_EQ(p.log_file, "Updater.log");
         EXPECT_EQ(p.baud_rate, 115200u);
         EXPECT_TRUE(p.uei_bytes);
         EXPECT_EQ(p.build_num, "");
       }},

      // Several errors in one run are all shown.
      {"every error is shown",
       {"-d", "0", "-t", "x", "-Y"},
       1,
       0,
       {"Invalid serial number obtained from argument [0]", with(kBadTransport, "x"),
        "Unhandled command: [-Y]"},
       nullptr},
  };
  return table;
}

TEST(Parameters, OptionTable) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.what);
    ParseResult r;
    parse(c.args, &r);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.params.commands.Get(), c.commands);
    EXPECT_EQ(r.display.errors, c.errors);
    EXPECT_TRUE(r.display.infos.empty());
    if (c.check) c.check(r.params);
  }
}

TEST(Parameters, LogMaskAppliesToTheRestOfTheParse) {
  std::string log;
  ParseResult r;
  parse({"-d", "0x1", "-X", "1", "-r", "0x2"}, &r, &log);
  EXPECT_EQ(log.find("Discarding '0x' serial number prefix\n"), std::string::npos);
  EXPECT_NE(log.find("Discarding '0x' router serial number prefix\n"), std::string::npos);

  // Leftover characters switch no package on.
  parse({"-X", "1z", "-d", "0x1"}, &r, &log);
  EXPECT_EQ(log, "");
}

TEST(Parameters, ArgumentWordsAreLogged) {
  std::string log;
  ParseResult r;
  parse({"-X", "0x10000", "-D", "extra"}, &r, &log);
  EXPECT_EQ(log, "\nApplication parameters:[updater]\n\t[/usr/local/bin/updater]\n\t[-X]\n"
                 "\t[0x10000]\n\t[-D]\n\t[extra]\n");
}

TEST(Parameters, CommandsClass) {
  CommandsClass commands;
  EXPECT_FALSE(commands.IsSet(0xFFFFFFFF));
  commands.Set(COMMAND_GET_BUILD);
  commands.Set(COMMAND_UPDATE);
  EXPECT_TRUE(commands.IsSet(COMMAND_UPDATE));
  EXPECT_TRUE(commands.IsSet(COMMAND_DISCOVER | COMMAND_GET_BUILD));
  EXPECT_FALSE(commands.IsSet(COMMAND_DISCOVER | COMMAND_HELP));
}

TEST(Parameters, NumberReaders) {
  struct {
    const char* text;
    unsigned hex;
    unsigned dec;
  } table[] = {
      {"", 0, 0},
      {"10", 0x10, 10},
      {"fF", 0xFF, 0},
      {"12 ", 0, 0},
      {"-1", 0, 0},
      {"123456789", 0x23456789, 123456789},
      {"4294967297", 0x94967297, 1},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex);
    EXPECT_EQ(_get_int_arg(c.text, &end), c.dec);
    EXPECT_EQ(_get_hex_arg(c.text, nullptr), 0u);
  }
  char* end = nullptr;
  const char* text = "1234";
  _get_int_arg(text, &end);
  EXPECT_EQ(end, text + 4);
}

} // namespace
