#include "store/UpdaterStore.h"

#include "app/BuildPath.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "link/aDirectory.h"
#include "store/AtomicFile.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// The part of a listed path after its last "/".
const char* EntryName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The part of a listed path before its last "/".
std::string EntryDirectory(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? std::string(path, size_t(slash - path)) : std::string();
}

bool IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

std::string SettingsPath(const std::string& base, const std::string& name) {
  return BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILE, nullptr);
}

// Makes sure `path` is a directory; throws std::runtime_error when it cannot be.
void EnsureDirectory(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
      return;
    }
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
  aErr err = aDirectory_Ensure(path.c_str(), 0755);
  if (err != aErrNone)
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(err));
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// The store item of a listed entry named `name`, with its settings loaded.
UpdaterStoreItem ItemOf(const aDirectoryListData* entry, const char* name) {
  return UpdaterStoreItem(EntryDirectory(entry->path).c_str(), name,
                          entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
}

// One search of a directory listing for an entry named exactly `target`.
struct result_t {
  bool found = false;
  std::string target;
  UpdaterStoreItem* item = nullptr;
  bool wantDirectory = true; // devices are directories; files are anything else
};

bool FindItem(const aDirectoryListData* entry, void* ref) {
  result_t* result = static_cast<result_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           entry->isDirectory ? 1 : 0, int(entry->size), result->target.c_str());
  const char* name = EntryName(entry->path);
  if (IsDotEntry(name)) return true;
  if (result->target != name || entry->isDirectory != result->wantDirectory) return true;
  result->found = true;
  if (result->item != nullptr) *result->item = ItemOf(entry, name);
  return false;
}

bool Search(const std::string& directory, result_t& result) {
  aDirectory_List(directory.c_str(), FindItem, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.target.c_str());
  return result.found;
}

bool CollectItem(const aDirectoryListData* entry, void* ref) {
  auto* out = static_cast<std::vector<UpdaterStoreItem>*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
           entry->isDirectory ? 1 : 0, int(entry->size));
  const char* name = EntryName(entry->path);
  // Hidden names: ".", "..", the settings file, and temporary files of an interrupted write.
  if (name[0] == '.') return true;
  out->push_back(ItemOf(entry, name));
  return true;
}

} // namespace

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* entry, store_item_t itemKind)
    : base_path(base != nullptr ? base : ""), name(entry != nullptr ? entry : ""), kind(itemKind) {
  settings.Load(SettingsPath(base_path, name).c_str());
}

bool UpdaterStoreItem::IsValid() const {
  return !base_path.empty() && !name.empty();
}

std::string UpdaterStoreItem::Path() const {
  return BuildPath(base_path.c_str(), name.c_str(), nullptr);
}

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data,
                                 unsigned long length) {
  if (data == nullptr || file == nullptr) return aErrNotFound;
  std::string path = BuildPath(base_path.c_str(), name.c_str(), file, nullptr);
  aErr err = WriteFileAtomic(path.c_str(), data, length);
  if (err != aErrNone)
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing [%s].\n", int(err), path.c_str());
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
  std::string path =
      BuildPath(base_path.c_str(), name.c_str(), file != nullptr ? file : "", nullptr);
  if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const char* file) {
  result_t result;
  result.target = file != nullptr ? file : "";
  result.wantDirectory = false;
  return Search(Path(), result);
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const char* base) : base_path(base != nullptr ? base : "") {
  if (base_path.empty()) throw std::runtime_error("UpdaterStore: no base directory given");
  EnsureDirectory(base_path);
}

std::string UpdaterStore::SerialText(unsigned serial) {
  char text[9];
  snprintf(text, sizeof(text), "%08X", serial);
  return text;
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) {
  return AddDevice(SerialText(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
  // A device is one directory right under the base: its name must not lead elsewhere.
  if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr || IsDotEntry(name))
    throw std::runtime_error(std::string("UpdaterStore: invalid device name [") +
                             (name != nullptr ? name : "") + "]");
  EnsureDirectory(BuildPath(base_path.c_str(), name, nullptr));
  return UpdaterStoreItem(base_path.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
  result_t result;
  result.target = name != nullptr ? name : "";
  result.item = item;
  return Search(base_path, result);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
  return FindDevice(SerialText(serial).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& out) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  aDirectory_List(device.Path().c_str(), CollectItem, &out);
  return true;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& base, const char* operation) {
  try {
    return std::make_unique<UpdaterStore>(base.c_str());
  } catch (const std::runtime_error& error) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Failed to Create UpdaterStore in: %s - Exception: %s",
                    operation != nullptr ? operation : "", error.what());
    return nullptr;
  }
}
