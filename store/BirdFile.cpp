#include "store/BirdFile.h"

#include "app/Log.h"
#include "link/unix_file.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <zlib.h>

namespace {

constexpr size_t HEADER_LENGTH = 6;     // signature and version
constexpr size_t BLOCK_HEADER = 5;      // type byte and length
constexpr size_t CHECKSUM_LENGTH = 4;   // the word after the last block
constexpr size_t INFLATE_FACTOR = 8;    // the payload may be at most this much larger
constexpr size_t ADDRESS_LENGTH = 4;    // load address ahead of a loader or firmware image
constexpr size_t SERIAL_WORD = 4;       // the 32-bit serial-number word
constexpr size_t SERIAL_TEXT_SPAN = 16; // eight 16-bit characters

// The fewest data bytes a block of each interpreted type must hold to be read at all.
size_t MinimumLength(uint8_t type) {
  switch (type) {
  case BirdFile::BLOCK_LOADER:
  case BirdFile::BLOCK_FIRMWARE:
  case BirdFile::BLOCK_LOADER_START:
    return 4;
  case BirdFile::BLOCK_SERIAL_OFFSETS:
    return 8;
  case BirdFile::BLOCK_DESCRIPTOR:
    return BirdFile::DESCRIPTOR_LENGTH;
  default:
    return 0;
  }
}

uint32_t GetLittleEndian(const unsigned char* bytes) {
  return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) |
         (uint32_t(bytes[3]) << 24);
}

void PutLittleEndian(unsigned char* bytes, uint32_t value) {
  bytes[0] = uint8_t(value);
  bytes[1] = uint8_t(value >> 8);
  bytes[2] = uint8_t(value >> 16);
  bytes[3] = uint8_t(value >> 24);
}

// Does [offset, offset + span) lie inside the image of `block` (device addresses)?
bool InsideImage(const BirdBlock& block, uint32_t offset, size_t span) {
  uint64_t start = block.address;
  uint64_t end = start + (uint64_t(block.length) - ADDRESS_LENGTH);
  return start <= offset && uint64_t(offset) + span <= end;
}

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* file) : path(file != nullptr ? file : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
  *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this != &other) {
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    file_checksum = other.file_checksum;
    block_count = other.block_count;
    blocks = std::move(other.blocks);
    needs_serial = other.needs_serial;
    serial_offset = other.serial_offset;
    descriptor_offset = other.descriptor_offset;
    data = std::move(other.data);
    data_size = other.data_size;
    other.Reset();
    other.path.clear();
  }
  return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::Reset() {
  signature = 0;
  version = 0;
  file_checksum = 0;
  block_count = 0;
  blocks.clear();
  needs_serial = false;
  serial_offset = 0;
  descriptor_offset = 0;
  data.reset();
  data_size = 0;
}

bool BirdFile::VerifyFile(const char* file) {
  aFileRef handle = file != nullptr ? aFile_Open(file, aFileModeRead) : nullptr;
  if (handle == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
             file != nullptr ? file : "");
    return false;
  }
  unsigned char header[HEADER_LENGTH];
  size_t got = 0;
  while (got < sizeof(header)) {
    size_t count = 0;
    if (aFile_Read(handle, header + got, sizeof(header) - got, &count) != aErrNone || count == 0)
      break;
    got += count;
  }
  aFile_Close(&handle);
  return got == sizeof(header) && GetInt(header) == BIRD_FILE_SIGNATURE && header[4] != 0 &&
         header[5] != 0;
}

bool BirdFile::Load() {
  const char* file = path.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", file);
  Reset();

  if (!aFile_Exists(file)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", file);
    return false;
  }
  aFileRef handle = aFile_Open(file, aFileModeRead);
  if (handle == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", file);
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(handle, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
             file);
    aFile_Close(&handle);
    return false;
  }

  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
  if (!bytes) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for %zu bytes of %s\n", size, file);
    aFile_Close(&handle);
    return false;
  }
  size_t got = 0;
  while (got < size) {
    size_t count = 0;
    err = aFile_Read(handle, bytes.get() + got, size - got, &count);
    if (err == aErrEOF) break;
    if (err != aErrNone) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), file);
      aFile_Close(&handle);
      return false;
    }
    got += count;
  }
  aFile_Close(&handle);
  if (got < size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", file,
             got, size);
    return false;
  }
  return LoadBytes(bytes.get(), size);
}

bool BirdFile::LoadBytes(const unsigned char* bytes, size_t size) {
  Reset();
  if (bytes == nullptr || size < HEADER_LENGTH) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too short for a bird file (%zu bytes)\n",
             path.c_str(), size);
    return false;
  }
  signature = GetInt(bytes);
  version = GetShort(bytes + 4);

  // The payload may inflate to at most eight times the compressed bytes, and its size must
  // fit the 32-bit size field.
  size_t compressed = size - HEADER_LENGTH;
  if (compressed > UINT32_MAX / INFLATE_FACTOR) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large (%zu bytes)\n", path.c_str(), size);
    return false;
  }
  size_t capacity = compressed * INFLATE_FACTOR;
  std::unique_ptr<unsigned char[]> payload(
      new (std::nothrow) unsigned char[capacity > 0 ? capacity : 1]);
  if (!payload) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory to inflate %zu bytes\n", compressed);
    return false;
  }
  uLongf inflated = capacity;
  int z = uncompress(payload.get(), &inflated, bytes + HEADER_LENGTH, compressed);
  if (z != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
    data_size = 0;
    return false;
  }
  // Keep exactly the inflated bytes: the room for eight times the input is not held on to, and
  // a read past the payload meets the end of its allocation.
  if (inflated < capacity) {
    std::unique_ptr<unsigned char[]> exact(
        new (std::nothrow) unsigned char[inflated > 0 ? inflated : 1]);
    if (exact) {
      memcpy(exact.get(), payload.get(), inflated);
      payload = std::move(exact);
    }
  }
  data = std::move(payload);
  data_size = uint32_t(inflated);

  if (!ScanBlocks(data.get(), data_size)) {
    // An inconsistent block list is a damaged file: nothing of it may reach a module.
    Reset();
    return false;
  }
  FindSerialNumberOffsets();
  return true;
}

bool BirdFile::ScanBlocks(unsigned char* payload, size_t size) {
  if (size < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - payload of %zu bytes holds no block count\n", size);
    return false;
  }
  uint32_t reported = GetInt(payload);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  size_t position = 4;
  size_t remaining = size - 4;
  block_count = 0;
  while (remaining > CHECKSUM_LENGTH) {
    // More than four bytes remain, so the five header bytes are there.
    BirdBlock block;
    uint8_t typeByte = payload[position];
    block.type = typeByte & BIRD_FILE_TYPE_MASK;
    block.flags = uint8_t((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = GetInt(payload + position + 1);
    block.data = payload + position + BLOCK_HEADER;
    // A block that runs past the end of the payload ends the list; what is left is then
    // read as the checksum and the bytes after it are the mismatch.
    if (block.length > remaining - BLOCK_HEADER) break;
    if (block.length < MinimumLength(block.type)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - block %u of type %u is too short (%u bytes)\n",
               unsigned(block_count), unsigned(block.type), unsigned(block.length));
      return false;
    }
    if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             int(block.length));
    if (block.type == BLOCK_DESCRIPTOR) {
      for (size_t field = 0; field < DESCRIPTOR_LENGTH; field += DESCRIPTOR_FIELD)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.data + field));
    }
    position += BLOCK_HEADER + block.length;
    remaining -= BLOCK_HEADER + block.length;
    blocks.push_back(block);
    block_count++;
  }

  if (remaining < CHECKSUM_LENGTH) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %zu bytes left where the checksum belongs\n",
             remaining);
    return false;
  }
  file_checksum = GetInt(payload + position);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", file_checksum);
  remaining -= CHECKSUM_LENGTH;
  if (remaining != 0) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(remaining));
    return false;
  }
  if (block_count != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             int(block_count), int(reported));
    return false;
  }
  return true;
}

void BirdFile::FindSerialNumberOffsets() {
  const BirdBlock* block = FirstBlock(BLOCK_SERIAL_OFFSETS);
  if (block == nullptr) return;
  needs_serial = true;
  serial_offset = GetInt(block->data);
  descriptor_offset = GetInt(block->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           int(serial_offset), int(descriptor_offset));
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
  for (const BirdBlock& block : blocks)
    if (block.type == type) return &block;
  return nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type) found.push_back(block);
  return found;
}

std::string BirdFile::DescriptorField(size_t offset, size_t count) const {
  const BirdBlock* block = FirstBlock(BLOCK_DESCRIPTOR);
  if (block == nullptr) return std::string();
  // The block holds at least DESCRIPTOR_LENGTH bytes (checked while parsing). The copy stops
  // at an embedded zero byte, as a conversion would.
  std::string field(reinterpret_cast<const char*>(block->data + offset), count);
  return std::string(field.c_str());
}

uint32_t BirdFile::GetBuild() const {
  std::string field = DescriptorField(0, DESCRIPTOR_FIELD - 1);
  return uint32_t(strtoul(field.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  std::string field = DescriptorField(DESCRIPTOR_FIELD, DESCRIPTOR_FIELD - 1);
  return field.substr(0, field.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
  std::string field = DescriptorField(2 * DESCRIPTOR_FIELD, 8);
  return uint32_t(strtoul(field.c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(unsigned serial) const {
  return serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* model) const {
  if (model == nullptr || model[0] == '\0' || FirstBlock(BLOCK_DESCRIPTOR) == nullptr) return false;
  std::string field = DescriptorField(3 * DESCRIPTOR_FIELD, DESCRIPTOR_FIELD);
  while (!field.empty() && field.back() == ' ')
    field.pop_back();
  size_t length = strlen(model);
  if (length > field.size() || field.compare(0, length, model) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
  return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned serial) {
  char text[9];
  snprintf(text, sizeof(text), "%08X", serial);
  bool wantSerial = serial_offset != 0;
  bool wantDescriptor = descriptor_offset != 0;
  bool wroteSerial = false;
  bool wroteDescriptor = false;

  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    unsigned char* image = block.data + ADDRESS_LENGTH;
    if (wantSerial && InsideImage(block, serial_offset, SERIAL_WORD)) {
      unsigned char* word = image + (serial_offset - block.address);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
               GetLittleEndian(word), serial);
      PutLittleEndian(word, serial);
      wroteSerial = true;
    }
    if (wantDescriptor && InsideImage(block, descriptor_offset, SERIAL_TEXT_SPAN)) {
      unsigned char* chars = image + (descriptor_offset - block.address);
      for (size_t i = 0; i < 8; i++)
        chars[2 * i] = uint8_t(text[i]);
      wroteDescriptor = true;
    }
  }

  // Firmware that asks for its serial number must not be installed without it: every place
  // the file names has to be found in an image.
  bool complete = (wantSerial || wantDescriptor) && (!wantSerial || wroteSerial) &&
                  (!wantDescriptor || wroteDescriptor);
  if (!complete)
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Error - serial number places not in any firmware image (serial number: "
             "%08X, descriptor: %08X)\n",
             serial_offset, descriptor_offset);
  return complete;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key) {
  if (key == nullptr) return false;
  unsigned char keyBytes[16];
  for (size_t word = 0; word < 4; word++)
    for (size_t byte = 0; byte < 4; byte++)
      keyBytes[4 * word + byte] = uint8_t(key[word] >> (24 - 8 * byte));

  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    unsigned char chain = 0;
    size_t index = 0;
    for (uint32_t i = ADDRESS_LENGTH; i < block.length; i++) {
      unsigned char plain = block.data[i] ^ keyBytes[index] ^ chain;
      block.data[i] = plain;
      chain = plain;
      index = (index + 1) % sizeof(keyBytes);
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.address != 0) continue;
    if (block.length < ADDRESS_LENGTH + 8 * 4) continue;
    unsigned char* image = block.data + ADDRESS_LENGTH;
    uint32_t sum = 0;
    for (size_t word = 0; word < 7; word++)
      if (word != 5) sum += GetLittleEndian(image + 4 * word);
    uint32_t checksum = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLittleEndian(image + 28), checksum);
    PutLittleEndian(image + 28, checksum);
  }
  return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    std::string text;
    for (uint32_t i = 0; i < block.length; i++) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", text.c_str(), int(i));
        text.clear();
      }
      unsigned char byte = block.data[i];
      printf("%02X ", byte);
      text.push_back(isprint(byte) ? char(byte) : ' ');
    }
    printf(" %s\n", text.c_str());
  }
  printf("\n");
  return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, unsigned count) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern != nullptr && count > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_FIRMWARE || count > block.length) continue;
      for (uint32_t i = 0; i <= block.length - count; i++) {
        if (memcmp(block.data + i, pattern, count) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}
