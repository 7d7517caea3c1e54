// Feeds arbitrary bytes to the BIRD file parser. Inputs whose first byte is odd are taken as an
// inflated payload and wrapped in a valid header and zlib stream first, so that the block
// parser is reached by most inputs; others are taken as a whole file.
#include "app/Log.h"
#include "store/BirdFile.h"

#include <cstdint>
#include <cstdio>
#include <vector>
#include <zlib.h>

namespace {

void Exercise(BirdFile& file) {
  file.GetBuild();
  file.GetVersion();
  file.ValidateSerialNumber(file.GetSerialNumber());
  file.ValidateModel("Hub");
  for (int type = 0; type < 32; type++)
    file.FindBlocks(BirdFile::BLOCK_TYPE(type));
  if (file.needs_serial) file.ReplaceSerialNumber(0x40F5849A);
  const unsigned char pattern[] = {0x9A, 0x84, 0xF5, 0x40};
  file.ValidateData(pattern, sizeof(pattern));
  file.ReplaceVectorChecksum();
  const unsigned int key[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x40F5849A};
  file.DecodeFirmwareBlocks(key);
  BirdFile moved(std::move(file));
  moved.GetBuild();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    // Format every log line, so that its arguments are read, but keep the output away.
    Log::SetOutput(fopen("/dev/null", "w"));
    Log::ActivatePackage(DEBUG_BirdFile);
    return true;
  }();
  (void)once;

  BirdFile file;
  if (size > 0 && (data[0] & 1) != 0) {
    uLongf room = compressBound(size - 1);
    std::vector<unsigned char> bytes(6 + room);
    const unsigned char header[6] = {'b', 'i', 'r', 'd', 0x01, 0x01};
    std::copy(header, header + 6, bytes.begin());
    if (compress2(bytes.data() + 6, &room, data + 1, size - 1, 1) != Z_OK) return 0;
    bytes.resize(6 + room);
    if (file.LoadBytes(bytes.data(), bytes.size())) Exercise(file);
  } else {
    if (file.LoadBytes(data, size)) Exercise(file);
  }
  return 0;
}
