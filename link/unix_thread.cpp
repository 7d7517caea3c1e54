#include "link/unix_thread.h"

#include <new>
#include <pthread.h>
#include <unistd.h>

struct aThreadRecord {
  pthread_t thread;
};

aThreadRef aThread_Create(aThreadProc proc, void* arg) {
  if (proc == nullptr) return nullptr;
  aThreadRecord* record = new (std::nothrow) aThreadRecord;
  if (record == nullptr) return nullptr;
  if (pthread_create(&record->thread, nullptr, proc, arg) != 0) {
    delete record;
    return nullptr;
  }
  return record;
}

int aThread_Destroy(aThreadRef* handle) {
  if (handle == nullptr || *handle == nullptr) return -1;
  int result = pthread_join((*handle)->thread, nullptr);
  delete *handle;
  *handle = nullptr;
  return result;
}

void aThread_Yield(void) {
  usleep(5);
}
