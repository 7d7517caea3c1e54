// Feeds arbitrary text to the settings reader, then checks that what the writer would save
// reads back the same: the two halves of the file format agree.
#include "store/KeyValueStore.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeyValueStore first;
  first.LoadText(reinterpret_cast<const char*>(data), size);

  std::string saved;
  for (const auto& entry : first.Entries())
    saved += entry.first + "=" + entry.second + "\n";
  KeyValueStore second;
  second.LoadText(saved.data(), saved.size());

  // Entries that cannot come back as written: a key read from " #X=1" saves as a comment,
  // "=" saves as a line too short to read, and a line too long for the reader is skipped.
  for (const auto& entry : first.Entries()) {
    size_t line = entry.first.size() + entry.second.size() + 2;
    bool lost = (!entry.first.empty() && entry.first[0] == '#') || line < 3 ||
                line >= KeyValueStore::LINE_BUFFER;
    const char* back = second[entry.first.c_str()];
    if (lost) continue;
    if (back == nullptr || entry.second != back) abort();
  }
  for (const auto& entry : second.Entries())
    if (first[entry.first.c_str()] == nullptr) abort();

  for (const auto& entry : first.Entries()) {
    second.GetInt(entry.first.c_str(), 0);
    second.GetHex(entry.first.c_str(), 0);
    second.GetDouble(entry.first.c_str(), 0);
    second.GetBOOL(entry.first.c_str(), false);
  }
  return 0;
}
