#include "link/aLinkManagerInternal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>

namespace {

enum class EntryState { Creating, Live, Dying };

struct Entry {
  aLinkEntryInfo info;
  EntryState state = EntryState::Creating;
  void* server = nullptr;
  aLinkServerDestroy destroyServer = nullptr;
  aLinkShared link;
};

// The registry: entries newest first, the id counter, and a condition on which creators wait
// for an entry of their module to finish being created or torn down. Built on first use and
// never destroyed, so links torn down at process exit still find it.
struct Registry {
  std::mutex mutex;
  std::condition_variable changed;
  std::list<Entry> entries;
  aLinkRef nextId = 1;
};

Registry& sRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// Modules reached directly (USB, TCP/IP, serial) are known by their serial number; network
// client links by address, port and client number.
bool sSameModule(const aLinkEntryInfo& a, const aLinkEntryInfo& b) {
  if (a.type != b.type) return false;
  if (a.type >= aLINKTYPE_USB && a.type <= aLINKTYPE_SERIAL)
    return a.identifier[0] == b.identifier[0];
  return a.identifier[0] == b.identifier[0] && a.identifier[1] == b.identifier[1] &&
         a.identifier[2] == b.identifier[2];
}

Entry* sFindLocked(Registry& r, aLinkRef id) {
  if (id == 0) return nullptr;
  for (Entry& e : r.entries)
    if (e.info.id == id) return &e;
  return nullptr;
}

aLinkRef sAddLocked(Registry& r, const aLinkEntryInfo& info, aLinkShared* link) {
  Entry entry;
  entry.info = info;
  entry.info.id = r.nextId++;
  entry.info.useCount = 0;
  entry.link = std::make_shared<aLinkRecord>(entry.info.id);
  *link = entry.link;
  r.entries.push_front(std::move(entry));
  return r.entries.front().info.id;
}

} // namespace

aLinkRecord::aLinkRecord(aLinkRef linkId) : id(linkId) {
  char name[64];
  std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(this));
  userFilterMutex = aMutex_Create(name);
  std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(this));
  logMutex = aMutex_Create(name);
}

aLinkRecord::~aLinkRecord() {
  check = 0;
  if (log) aPacketLog_Destroy(&log);
  if (assembler) aPacket_Destroy(&assembler);
  if (userFilterMutex) aMutex_Destroy(&userFilterMutex);
  if (logMutex) aMutex_Destroy(&logMutex);
}

aLinkShared aLinkManager_Find(aLinkRef id) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Entry* e = sFindLocked(r, id);
  if (!e || e->state == EntryState::Dying) return nullptr;
  return e->link;
}

aLinkRef aLinkManager_Acquire(const aLinkEntryInfo& identity, bool* created, aLinkShared* link,
                              unsigned long waitMs) {
  *created = false;
  Registry& r = sRegistry();
  std::unique_lock<std::mutex> lock(r.mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    Entry* match = nullptr;
    for (Entry& e : r.entries) {
      if (sSameModule(e.info, identity)) {
        match = &e;
        // A live entry wins over one still being torn down.
        if (e.state != EntryState::Dying) break;
      }
    }
    if (!match) break;
    if (match->state == EntryState::Live) {
      if (match->server) return 0; // served to the network: reach it as a client
      ++match->info.useCount;
      *link = match->link;
      return match->info.id;
    }
    // Being created or torn down: wait for the outcome rather than share a link that may
    // never run, or open the module a second time while the old link still holds it.
    if (r.changed.wait_until(lock, deadline) == std::cv_status::timeout) return 0;
  }
  *created = true;
  return sAddLocked(r, identity, link);
}

aLinkRef aLinkManager_AddAnonymous(aLinkShared* link) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return sAddLocked(r, aLinkEntryInfo(), link);
}

void aLinkManager_Publish(aLinkRef id) {
  Registry& r = sRegistry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    Entry* e = sFindLocked(r, id);
    if (!e || e->state != EntryState::Creating) return;
    e->state = EntryState::Live;
    e->info.useCount = 1;
  }
  r.changed.notify_all();
}

bool aLinkManager_Release(aLinkRef id, bool* exists, aLinkShared* link, aLinkEntryInfo* info,
                          void** server, aLinkServerDestroy* destroyServer) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Entry* e = sFindLocked(r, id);
  *exists = e && e->state != EntryState::Dying;
  if (!*exists) return false;
  if (e->state == EntryState::Live && --e->info.useCount > 0) return false;
  e->state = EntryState::Dying;
  *link = e->link;
  *info = e->info;
  *server = e->server;
  *destroyServer = e->destroyServer;
  e->server = nullptr;
  return true;
}

void aLinkManager_Remove(aLinkRef id) {
  Registry& r = sRegistry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.entries.remove_if([id](const Entry& e) { return e.info.id == id; });
  }
  r.changed.notify_all();
}

bool aLinkManager_Info(aLinkRef id, aLinkEntryInfo* info) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Entry* e = sFindLocked(r, id);
  if (!e || e->state == EntryState::Dying) return false;
  *info = e->info;
  return true;
}

aErr aLinkManager_SetPaired(aLinkRef id, aLinkRef paired) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Entry* e = sFindLocked(r, id);
  if (!e || e->state == EntryState::Dying) return aErrParam;
  e->info.paired = paired;
  return aErrNone;
}

aErr aLinkManager_SetServer(aLinkRef id, void* server, aLinkServerDestroy destroy) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  Entry* e = sFindLocked(r, id);
  if (!e || e->state == EntryState::Dying) return aErrParam;
  e->server = server;
  e->destroyServer = destroy;
  return aErrNone;
}

size_t aLinkManager_Count(void) {
  Registry& r = sRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.entries.size();
}
