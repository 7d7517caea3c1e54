#pragma once
// BIRD firmware files: a six-byte header ("bird" and a two-byte format version) followed by
// one zlib stream. The inflated payload holds a block count, the typed blocks and a checksum
// word; all numbers are big-endian. A BirdFile loads the whole payload into memory, parses the
// blocks as views into it, answers questions about the descriptor block and patches firmware
// images in memory. The file on disk is never modified.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

// One parsed block: a view into the payload of the BirdFile it came from, valid as long as
// that file (or the file it was moved into) lives.
struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;    // bits 7-5 of the type byte, shifted down (0-7)
  uint32_t length = 0;  // bytes of block data
  uint32_t address = 0; // load address of a loader or firmware block, else 0
  // First data byte. For loader and firmware blocks this is the first of the four address
  // bytes; the image starts four bytes further on.
  unsigned char* data = nullptr;
};

class BirdFile {
public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_LOADER_START = 5,
  };

  // Sizes of the parts of a descriptor block.
  static constexpr size_t DESCRIPTOR_LENGTH = 64;
  static constexpr size_t DESCRIPTOR_FIELD = 16;

  // An empty file object: no path, no blocks, no payload.
  BirdFile();
  // Loads `path`; throws std::runtime_error("Failed to load bird data") when that fails.
  explicit BirdFile(const char* path);

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  ~BirdFile();

  // Reads and parses the file named by `path`. False (with the object left empty but for its
  // path) when the file cannot be read, does not inflate, or its block list is inconsistent.
  bool Load();

  // Parses a whole BIRD file held in memory (header included), as Load does after reading.
  bool LoadBytes(const unsigned char* bytes, size_t size);

  // Quick check without loading: the file starts with "bird" and two non-zero version bytes.
  static bool VerifyFile(const char* path);

  // Copies of all blocks of `type`, in file order.
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Descriptor fields of the first descriptor block; 0 or empty without one.
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  uint32_t GetSerialNumber() const;
  bool ValidateSerialNumber(unsigned serial) const;
  // The model field, without its trailing blanks, begins with `model` (a non-empty name).
  bool ValidateModel(const char* model) const;

  // Writes `serial` into the firmware images at the places the serial-offsets block names.
  // True only when every place named (a non-zero offset) was written into at least one image.
  bool ReplaceSerialNumber(unsigned serial);

  // Removes the per-device scrambling of every firmware image; `key` is four 32-bit words.
  bool DecodeFirmwareBlocks(const unsigned int* key);

  // Rewrites the vector-table checksum word of firmware images loaded at address 0.
  bool ReplaceVectorChecksum();

  // Hex dump of all blocks of `type` on the standard output stream.
  bool DumpBlocks(BLOCK_TYPE type) const;

  // Searches the firmware blocks (address bytes included) for `count` bytes of `pattern` and
  // logs each place found; true when there is at least one.
  bool ValidateData(const unsigned char* pattern, unsigned count) const;

  static uint32_t GetInt(const unsigned char* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
  }
  static uint16_t GetShort(const unsigned char* bytes) {
    return uint16_t((bytes[0] << 8) | bytes[1]);
  }

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t file_checksum = 0;
  uint32_t block_count = 0;
  std::vector<BirdBlock> blocks;
  bool needs_serial = false;
  uint32_t serial_offset = 0;
  uint32_t descriptor_offset = 0;
  std::unique_ptr<unsigned char[]> data; // the inflated payload
  uint32_t data_size = 0;

private:
  bool ScanBlocks(unsigned char* payload, size_t size);
  void FindSerialNumberOffsets();
  const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
  // The descriptor field starting at `offset`, `count` bytes, as a terminated text.
  std::string DescriptorField(size_t offset, size_t count) const;
  void Reset();
};
