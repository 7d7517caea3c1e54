#include "updater/Updater.h"

#include "app/Log.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

enum class BuildText { Number, NoNumber, TooLarge };

// Reads a build number from the start of `text`: blanks skipped, then decimal digits up to the
// first other character. Build numbers are 32-bit; a larger value names no build.
BuildText _read_build_number(const std::string& text, unsigned int& number) {
  number = 0;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
    ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return BuildText::NoNumber;
  unsigned long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > UINT_MAX) return BuildText::TooLarge;
  }
  number = static_cast<unsigned int>(value);
  return BuildText::Number;
}

// Pings the update server at `url`; shows the failure when it does not answer.
bool _server_answers(UpdaterDisplayInterface& display, const std::string& url) {
  if (UpdateServerRequest::ping(url.c_str())) return true;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                  url.c_str());
  return false;
}

// True when the server lists `build` for the device (build 0: when it lists a key that is
// not a number).
bool _valid_build(unsigned int serial, unsigned int build, const char* url) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
  for (const auto& entry : builds) {
    unsigned int number = 0;
    switch (_read_build_number(entry.first, number)) {
    case BuildText::NoNumber:
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      if (build == 0) return true;
      break;
    case BuildText::TooLarge:
      break; // never one of ours
    case BuildText::Number:
      if (number == build) return true;
      break;
    }
  }
  return false;
}

// Operations that are not built yet say so and fail.
void not_implemented(UpdaterDisplayInterface& display, const char* what) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Not implemented yet: %s", what);
}

} // namespace

Updater::Updater(const char* url, const char* dir, UpdaterDisplayInterface& out)
    : server_url(url != nullptr ? url : ""), store_dir(dir != nullptr ? dir : ""), display(out) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool use) {
  use_uei_bytes = use;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial) {
  std::map<std::string, std::string> builds;
  Get_BuildList(serial, builds);
  return builds;
}

bool Updater::Get_BuildList(unsigned int serial, std::map<std::string, std::string>& builds) {
  builds.clear();
  if (!_server_answers(display, server_url)) return false;
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X",
                    serial);
    builds.clear();
    return false;
  }
  return true;
}

std::string Updater::Get_JWT(unsigned int serial) {
  if (!_server_answers(display, server_url)) return {};
  std::string token;
  if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X",
                    serial);
    return {};
  }
  return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial) {
  std::map<std::string, std::string> builds;
  Get_BuildListLocal(serial, builds);
  return builds;
}

bool Updater::Get_BuildListLocal(unsigned int serial, std::map<std::string, std::string>& builds) {
  builds.clear();
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, store_dir, "Get_BuildListLocal");
  if (!store) return false;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const UpdaterStoreItem& item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      std::string path = item.base_path + "/" + item.name;
      if (BirdFile::VerifyFile(path.c_str())) {
        try {
          version = BirdFile(path.c_str()).GetVersion();
          if (!version.empty())
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
        } catch (const std::exception& e) {
          // A file with a good header and a damaged body is listed without a version.
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s (%s)\n", path.c_str(),
                   e.what());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
  return true;
}

unsigned int Updater::Download_Firmware(unsigned int serial, std::string build, bool override,
                                        bool no_cal) {
  unsigned int number = 0;
  if (!build.empty() && _read_build_number(build, number) != BuildText::Number) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number",
                    build.c_str());
    return 0;
  }
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
    return 0;
  }
  if (!_server_answers(display, server_url)) return 0;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, store_dir, "Download_Firmware");
  if (!store) return 0;

  UpdaterStoreItem device;
  if (!store->FindDevice(serial, &device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serial);
    } catch (const std::exception&) {
      display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                      "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string latest, firmware;
  if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
    return 0;
  }
  if (number == 0) {
    if (_read_build_number(latest, number) != BuildText::Number) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
      number = 0;
    }
    // Build 0 names no build: the server offered none that can be fetched.
    if (number == 0) {
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
      return 0;
    }
  }

  display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", number);
  if (override) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO,
                    "Override specified, skipping validation of build %u", number);
  } else {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server", number);
    if (!_valid_build(serial, number, server_url.c_str())) {
      display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", number);
      return 0;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", number);
  }

  // The request runs on a worker so that the spinner turns while it blocks; the body is read
  // only after the worker has delivered and been joined.
  std::string build_text = std::to_string(number);
  std::string body;
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread worker;
  try {
    worker = std::thread([serial, firmware, build_text, no_cal, url = server_url, &body, &done]() {
      bool ok = false;
      try {
        ok = UpdateServerRequest::GetBuild(serial, firmware.c_str(), build_text.c_str(), body,
                                           url.c_str(), no_cal);
      } catch (...) {
        ok = false;
      }
      done.set_value(ok);
    });
  } catch (const std::system_error&) {
    done.set_value(false);
  }
  display.update_spinner(true, "Downloading");
  while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  bool downloaded = result.get();
  if (worker.joinable()) worker.join();
  if (!downloaded) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
    body.clear();
  }

  if (body.empty()) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // Decoded over the received text: a build is held in memory once.
  long long decoded = base64_decode_in_place(body.data(), body.size());
  if (decoded < 0) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to decode BIRD file for build %u",
                    number);
    return 0;
  }
  body.resize(static_cast<size_t>(decoded));

  std::string time_text = KeyValueStore::TimeText();
  std::string file = build_text + ".bird";
  // The file is replaced whole: an earlier good copy stays when this write fails.
  aErr written = device.WriteFile(file.c_str(), reinterpret_cast<const unsigned char*>(body.data()),
                                  body.size());
  if (written != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d",
                    static_cast<int>(written));
    return 0;
  }
  device.settings.Add("LATEST_DOWNLOAD", file.c_str());
  device.settings.Add("LAST_DOWNLOAD_DATE", time_text.c_str());
  if (!device.settings.Save())
    Log::log(DEBUG_Updater, "Could not save the settings of %08X.\n", serial);
  return number;
}

BirdFile Updater::load_bird(const char* verb, std::string bird_file, unsigned int serial,
                            unsigned int build, bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_dir, "load_bird");
  if (!store) return BirdFile();
  if (!bird_file.empty()) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", verb,
                    bird_file.c_str());
    return BirdFile(bird_file.c_str());
  }
  UpdaterStoreItem device = store->AddDevice(serial);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", verb, build);
  std::string file = std::to_string(build) + ".bird";
  try {
    return device.ReadBirdFile(file.c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return device.ReadBirdFile(file.c_str());
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
  not_implemented(display, "device discovery");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(unsigned int, linkType) {
  not_implemented(display, "network discovery");
  return {};
}

bool Updater::Update_Firmware(unsigned int, unsigned int, std::string, unsigned char, unsigned int,
                              bool) {
  not_implemented(display, "firmware update");
  return false;
}

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string,
                               bool) {
  not_implemented(display, "firmware recovery");
  return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int,
                              bool) {
  not_implemented(display, "fingerprint");
  return false;
}
