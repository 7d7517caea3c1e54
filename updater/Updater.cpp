#include "updater/Updater.h"

namespace {

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

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int) {
  not_implemented(display, "build list");
  return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int) {
  not_implemented(display, "local build list");
  return {};
}

std::string Updater::Get_JWT(unsigned int) {
  not_implemented(display, "feature token");
  return {};
}

unsigned int Updater::Download_Firmware(unsigned int, std::string, bool, bool) {
  not_implemented(display, "firmware download");
  return 0;
}

BirdFile Updater::load_bird(const char*, std::string, unsigned int, unsigned int, bool) {
  not_implemented(display, "loading a BIRD file");
  return BirdFile();
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
