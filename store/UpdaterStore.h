#pragma once
// The local firmware store: under one base directory, one directory per device named by its
// serial number ("%08X"), holding the device's BIRD files and its ".settings" file. The store
// keeps no index: every lookup lists the directories on disk.

#include "link/aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

#include <memory>
#include <string>
#include <vector>

class UpdaterDisplayInterface;

enum store_item_t : uint32_t {
  STORE_ITEM_FILE = 0,      // not a directory
  STORE_ITEM_DIRECTORY = 1, // a device directory
  STORE_ITEM_UNSET = 2,
};

// One entry of the store: a device directory, or a file in a device directory.
class UpdaterStoreItem {
public:
  UpdaterStoreItem();
  // Loads `settings` from base/name/.settings.
  UpdaterStoreItem(const char* base, const char* name, store_item_t kind);

  bool IsValid() const;

  // Writes `length` bytes to base/name/file, replacing the file whole (never half-written).
  // aErrNotFound when `data` is null or the file cannot be created.
  aErr WriteFile(const char* file, const unsigned char* data, unsigned long length);

  // The BIRD file base/name/file; throws std::runtime_error("Invalid bird " + path) when it is
  // missing or not a BIRD file, and BirdFile's error when it does not load.
  BirdFile ReadBirdFile(const char* file);

  // True when the item's directory holds a non-directory entry named exactly `file`.
  bool FileExists(const char* file);

  // base/name
  std::string Path() const;

  std::string base_path; // the directory holding the entry
  std::string name;      // the entry's name in it
  store_item_t kind = STORE_ITEM_UNSET;
  KeyValueStore settings;
};

class UpdaterStore {
public:
  // Ensures the base directory; throws std::runtime_error when it cannot.
  explicit UpdaterStore(const char* base);

  const char* BasePath() const { return base_path.c_str(); }

  // Ensures the device directory base/name (throws std::runtime_error when it cannot) and
  // returns its item with the settings loaded (created when absent).
  UpdaterStoreItem AddDevice(unsigned serial);
  UpdaterStoreItem AddDevice(const char* name);

  // Finds the device directory named exactly `name`; fills `*item` when given.
  bool FindDevice(const char* name, UpdaterStoreItem* item);
  bool FindDevice(unsigned serial, UpdaterStoreItem* item);

  // Appends one item per entry of the device's directory that is not hidden, in directory
  // order; nothing when the device has no directory. Always true.
  bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& out);

  // The device directory name of a serial number ("%08X").
  static std::string SerialText(unsigned serial);

private:
  std::string base_path;
};

// The store for one operation on `base`; on failure shows "Failed to Create UpdaterStore in:
// %s - Exception: %s" with `operation` and returns an empty pointer.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& base, const char* operation);
