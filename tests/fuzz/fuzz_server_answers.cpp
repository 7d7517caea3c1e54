// The client's handling of untrusted server data: base64 text of a build and the version
// texts of a build list. A decoded text must encode back to itself, and the version order
// must stay a strict weak ordering whatever the versions hold.

#include "server/UpdateServerRequest.h"
#include "server/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  size_t decoded_length = 0;
  unsigned char* decoded = base64_decode(text, size, &decoded_length);
  if (decoded) {
    size_t encoded_length = 0;
    char* encoded = base64_encode(decoded, decoded_length, &encoded_length);
    // Canonical texts come back unchanged; others (stray bits in the last group) decode to
    // bytes whose encoding must decode to the same bytes.
    size_t again_length = 0;
    unsigned char* again = base64_decode(encoded, encoded_length, &again_length);
    if (!again || again_length != decoded_length || memcmp(again, decoded, decoded_length) != 0)
      abort();
    free(again);
    free(encoded);
    free(decoded);
  }

  // Lines of the input as versions of a build list.
  std::vector<std::pair<std::string, std::string>> items;
  std::string input(text, size);
  size_t start = 0;
  for (int i = 0; start <= input.size() && i < 24; ++i) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    items.emplace_back(std::to_string(i % 7), input.substr(start, end - start));
    start = end + 1;
  }
  for (const auto& a : items) {
    if (_sortVersion(a, a)) abort();
    for (const auto& b : items) {
      if (_sortVersion(a, b) && _sortVersion(b, a)) abort();
      for (const auto& c : items) {
        if (_sortVersion(a, b) && _sortVersion(b, c) && !_sortVersion(a, c)) abort();
        bool ab = !_sortVersion(a, b) && !_sortVersion(b, a);
        bool bc = !_sortVersion(b, c) && !_sortVersion(c, b);
        if (ab && bc && (_sortVersion(a, c) || _sortVersion(c, a))) abort();
      }
    }
  }
  std::map<std::string, std::string> builds(items.begin(), items.end());
  UpdateServerRequest::SortBuildsByVersion(builds);
  return 0;
}
