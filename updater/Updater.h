#pragma once
// The updater: every operation on modules, builds and the local store. One object per run;
// each operation reports through the display and returns a plain result (false, 0, an empty
// text or an empty container after one error message).

#include "app/UpdaterDisplayInterface.h"
#include "link/discover.h"
#include "store/BirdFile.h"
#include "updater/DeviceInfo.h"
#include "updater/Fingerprint.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class Updater {
public:
  Updater(const char* server_url, const char* store_dir, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Load firmware with the faster byte-packed transfer.
  void Set_UEIBytes_Load(bool use);

  // Build retrieval.
  // Map from build number text to version text; empty on failure.
  std::map<std::string, std::string> Get_BuildList(unsigned int serial);
  std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);
  // The same lists, telling a failure (false, after an error message) from an empty list.
  bool Get_BuildList(unsigned int serial, std::map<std::string, std::string>& builds);
  bool Get_BuildListLocal(unsigned int serial, std::map<std::string, std::string>& builds);
  // The device's feature token; empty on failure.
  std::string Get_JWT(unsigned int serial);
  // Downloads a build (decimal text, empty for the latest) into the store; returns its build
  // number, 0 on failure.
  unsigned int Download_Firmware(unsigned int serial, std::string build, bool override,
                                 bool no_cal);
  // The image for an update ("Updating", no download) or a recovery ("Recovering", download
  // when missing). Throws std::runtime_error when the stored file cannot be read.
  BirdFile load_bird(const char* verb, std::string bird_file, unsigned int serial,
                     unsigned int build, bool download);

  // Discovery: direct over `type` (USB then TCP/IP for 0), or behind a routing module.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_TSNetwork_Devices(unsigned int router_serial, linkType type);

  // Update of a running module; true when the firmware was transferred and the module told to
  // reboot.
  bool Update_Firmware(unsigned int serial, unsigned int build, std::string bird_file,
                       unsigned char module_address, unsigned int router_serial, bool override);

  // Recovery through the boot ROM, and the chip fingerprint it starts from.
  bool Recover_Firmware(std::string serial_port, unsigned int build, unsigned int baud_rate,
                        unsigned int serial, std::string bird_file, bool override);
  bool Get_Fingerprint(Fingerprint& out, std::string serial_port, unsigned int serial,
                       std::string bird_file, unsigned int baud_rate, bool reset_after);

  // Read by the operations' file-level steps.
  std::string server_url;
  std::string store_dir;
  UpdaterDisplayInterface& display;
  uint8_t rom_family = 0; // boot-ROM family of the last fingerprint: 1 i.MX, 2 NXP LPC
  bool use_uei_bytes = false;
};
