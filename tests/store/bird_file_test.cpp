#include "tests/support/LogCapture.h"
#include "store/BirdFile.h"

#include "StoreTestSupport.h"

#include "app/Log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <zlib.h>

using storetest::ScratchDir;
using storetest::WriteBird;

namespace {

std::string Hex(const unsigned char* bytes, size_t count) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < count; i++) {
    snprintf(digits, sizeof(digits), "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

// `count` bytes that do not compress (a file may inflate to at most eight times its size), as
// hex digits.
std::string NoiseHex(size_t count, uint32_t seed) {
  std::vector<unsigned char> bytes(count);
  uint32_t state = seed * 2654435761u + 12345;
  for (unsigned char& byte : bytes) {
    state = state * 1103515245u + 12345;
    byte = uint8_t(state >> 16);
  }
  return Hex(bytes.data(), count);
}

// Image bytes of a loader or firmware block (after the four address bytes).
std::string ImageHex(const BirdBlock& block) {
  return Hex(block.data + 4, block.length - 4);
}

const char* const kEveryBlockType = R"({"checksum": 305419896, "blocks": [
  {"type": 0, "flags": 3, "address": 268435456, "image_hex": "01020304050607"},
  {"type": 1, "flags": 5, "address": 4096, "image_hex": "A0A1A2A3A4A5A6A7A8A9"},
  {"type": 2, "serial_offset": 4100, "descriptor_offset": 0},
  {"type": 3, "data_hex": "CAFE"},
  {"type": 4, "build": "99528558", "version": "1.2.3", "serial": "40F5849A",
   "model": "HubModel"},
  {"type": 5, "address": 536870912},
  {"type": 31, "flags": 7, "data_hex": ""},
  {"type": 2, "serial_offset": 1, "descriptor_offset": 2},
  {"type": 4, "build": "1", "version": "9.9.9", "serial": "00000001", "model": "Other"}
]})";

TEST(BirdFile, LoadsEveryBlockType) {
  ScratchDir dir;
  std::string path = dir / "good.bird";
  ASSERT_TRUE(WriteBird(path, kEveryBlockType));
  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));

  BirdFile file(path.c_str());
  EXPECT_EQ(file.path, path);
  EXPECT_EQ(file.signature, BIRD_FILE_SIGNATURE);
  EXPECT_EQ(file.version, BIRD_FILE_VERSION);
  EXPECT_EQ(file.file_checksum, 0x12345678u);
  ASSERT_EQ(file.block_count, 9u);
  ASSERT_EQ(file.blocks.size(), 9u);

  struct Expected {
    uint8_t type, flags;
    uint32_t length, address;
  };
  const Expected expected[] = {{0, 3, 11, 0x10000000}, {1, 5, 14, 0x1000}, {2, 0, 8, 0},
                               {3, 0, 2, 0},           {4, 0, 64, 0},      {5, 0, 4, 0},
                               {31, 7, 0, 0},          {2, 0, 8, 0},       {4, 0, 64, 0}};
  for (size_t i = 0; i < file.blocks.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(file.blocks[i].type, expected[i].type);
    EXPECT_EQ(file.blocks[i].flags, expected[i].flags);
    EXPECT_EQ(file.blocks[i].length, expected[i].length);
    EXPECT_EQ(file.blocks[i].address, expected[i].address);
  }
  EXPECT_EQ(ImageHex(file.blocks[0]), "01020304050607");
  EXPECT_EQ(ImageHex(file.blocks[1]), "A0A1A2A3A4A5A6A7A8A9");
  EXPECT_EQ(Hex(file.blocks[3].data, 2), "CAFE");
  EXPECT_EQ(Hex(file.blocks[5].data, 4), "20000000");

  // Only the first serial-offsets and descriptor blocks count.
  EXPECT_TRUE(file.needs_serial);
  EXPECT_EQ(file.serial_offset, 4100u);
  EXPECT_EQ(file.descriptor_offset, 0u);
  EXPECT_EQ(file.GetBuild(), 99528558u);
  EXPECT_EQ(file.GetVersion(), "1.2.3");
  EXPECT_EQ(file.GetSerialNumber(), 0x40F5849Au);
  EXPECT_TRUE(file.ValidateSerialNumber(0x40F5849A));
  EXPECT_FALSE(file.ValidateSerialNumber(1));

  struct ModelCase {
    const char* model;
    bool matches;
  };
  for (const ModelCase& c :
       {ModelCase{"HubModel", true}, ModelCase{"Hub", true}, ModelCase{"HubModel2", false},
        ModelCase{"HubModel ", false}, ModelCase{"Other", false}, ModelCase{"", false},
        ModelCase{"HubModelHubModelHub", false}}) {
    EXPECT_EQ(file.ValidateModel(c.model), c.matches) << c.model;
  }

  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_LOADER).size(), 1u);
  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).size(), 2u);
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_TYPE(6)).empty());

  // Loading again gives the same blocks.
  std::string firstImage = ImageHex(file.blocks[1]);
  ASSERT_TRUE(file.Load());
  ASSERT_EQ(file.blocks.size(), 9u);
  EXPECT_EQ(ImageHex(file.blocks[1]), firstImage);
  EXPECT_EQ(file.blocks[1].address, 0x1000u);
}

// The layout laid out by hand, without the writer: big-endian numbers, the type byte split
// into type (bits 4-0) and flags (bits 7-5).
TEST(BirdFile, HandMadeLayout) {
  const unsigned char payload[] = {0x00, 0x00, 0x00, 0x01,             // one block
                                   0x61, 0x00, 0x00, 0x00, 0x06,       // type 1, flags 3
                                   0x00, 0x00, 0x10, 0x00, 0xAA, 0xBB, // address, image
                                   0xDE, 0xAD, 0xBE, 0xEF};            // checksum
  std::vector<unsigned char> bytes = {'b', 'i', 'r', 'd', 0x01, 0x02};
  uLongf room = compressBound(sizeof(payload));
  bytes.resize(6 + room);
  ASSERT_EQ(compress(bytes.data() + 6, &room, payload, sizeof(payload)), Z_OK);
  bytes.resize(6 + room);

  BirdFile file;
  ASSERT_TRUE(file.LoadBytes(bytes.data(), bytes.size()));
  EXPECT_EQ(file.signature, 0x62697264u);
  EXPECT_EQ(file.version, 0x0102u);
  EXPECT_EQ(file.data_size, sizeof(payload));
  EXPECT_EQ(file.file_checksum, 0xDEADBEEFu);
  ASSERT_EQ(file.blocks.size(), 1u);
  EXPECT_EQ(file.blocks[0].type, 1);
  EXPECT_EQ(file.blocks[0].flags, 3);
  EXPECT_EQ(file.blocks[0].length, 6u);
  EXPECT_EQ(file.blocks[0].address, 0x1000u);
  EXPECT_EQ(file.blocks[0].data, file.data.get() + 9);
  EXPECT_EQ(ImageHex(file.blocks[0]), "AABB");
  EXPECT_FALSE(file.needs_serial);
}

TEST(BirdFile, EmptyObjectAnswersNoSuchField) {
  BirdFile file;
  EXPECT_TRUE(file.path.empty());
  EXPECT_TRUE(file.blocks.empty());
  EXPECT_EQ(file.data, nullptr);
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel("Hub"));
  EXPECT_FALSE(file.needs_serial);
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
}

TEST(BirdFile, MoveKeepsTheBlockViews) {
  ScratchDir dir;
  std::string path = dir / "good.bird";
  ASSERT_TRUE(WriteBird(path, kEveryBlockType));
  BirdFile first(path.c_str());
  const unsigned char* view = first.blocks[1].data;

  BirdFile second(std::move(first));
  EXPECT_EQ(second.blocks[1].data, view);
  EXPECT_EQ(ImageHex(second.blocks[1]), "A0A1A2A3A4A5A6A7A8A9");
  EXPECT_TRUE(first.blocks.empty());
  EXPECT_EQ(first.data, nullptr);
  EXPECT_EQ(first.data_size, 0u);
  EXPECT_FALSE(first.needs_serial);

  BirdFile third;
  third = std::move(second);
  EXPECT_EQ(third.blocks[1].data, view);
  EXPECT_EQ(third.GetBuild(), 99528558u);
  EXPECT_EQ(third.path, path);
  EXPECT_TRUE(second.blocks.empty());
}

TEST(BirdFile, VerifyFileChecksSignatureAndVersionBytes) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"current", std::string("bird\x01\x01", 6), true},
      {"any non-zero version", std::string("bird\x02\x07xyz", 9), true},
      {"second version byte zero", std::string("bird\x01\x00", 6), false},
      {"first version byte zero", std::string("bird\x00\x01", 6), false},
      {"wrong signature", std::string("birx\x01\x01", 6), false},
      {"five bytes", std::string("bird\x01", 5), false},
      {"empty", std::string(), false},
  };
  for (const Case& c : cases) {
    std::string path = dir / c.name;
    WriteFile(path, c.bytes);
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.valid) << c.name;
  }
  EXPECT_FALSE(BirdFile::VerifyFile((dir / "missing").c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(dir.path().c_str()));
  EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST(BirdFile, MissingFileThrows) {
  ScratchDir dir;
  std::string path = dir / "missing.bird";
  try {
    BirdFile file(path.c_str());
    FAIL() << "loaded a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Failed to load bird data");
  }
}

// Every damaged shape fails to load whole: nothing half-parsed is left to be used, and no read
// goes past the data (the sanitizer build checks that).
TEST(BirdFile, DamagedFilesFailToLoad) {
  ScratchDir dir;
  const std::string descriptor64 = std::string(128, '3');
  struct Case {
    const char* name;
    std::string json;
  };
  const Case cases[] = {
      {"empty file", R"({"truncate": 0})"},
      {"shorter than the header", R"({"truncate": 5})"},
      {"header only", R"({"truncate": 6})"},
      {"not a zlib stream", R"({"raw": true, "blocks": [{"type": 3, "data_hex": "01"}]})"},
      {"zlib stream cut short", R"({"truncate": -4, "blocks": [{"type": 3, "data_hex": "01"}]})"},
      {"empty payload", R"({"payload_hex": ""})"},
      {"payload of three bytes", R"({"payload_hex": "000000"})"},
      {"more blocks reported than present",
       R"({"count": 3, "blocks": [{"type": 3, "data_hex": "01"}, {"type": 3}]})"},
      {"fewer blocks reported than present",
       R"({"count": 1, "blocks": [{"type": 3, "data_hex": "01"}, {"type": 3}]})"},
      {"block length past the end",
       R"({"blocks": [{"type": 3, "data_hex": "0102", "length": 100}]})"},
      {"block length that would wrap",
       R"({"blocks": [{"type": 1, "data_hex": "00000000", "length": 4294967294}]})"},
      {"block length into the checksum",
       R"({"blocks": [{"type": 3, "data_hex": "0102", "length": 3}]})"},
      {"loader block of three bytes", R"({"blocks": [{"type": 0, "data_hex": "010203"}]})"},
      {"firmware block without data", R"({"blocks": [{"type": 1, "data_hex": ""}]})"},
      {"serial offsets of seven bytes",
       R"({"blocks": [{"type": 2, "data_hex": "00001000000011"}]})"},
      {"descriptor of 63 bytes",
       R"({"blocks": [{"type": 4, "data_hex": ")" + descriptor64.substr(2) + R"("}]})"},
      {"loader start of two bytes", R"({"blocks": [{"type": 5, "data_hex": "0000"}]})"},
      {"no checksum", R"({"no_checksum": true, "blocks": [{"type": 3, "data_hex": "0102"}]})"},
      {"bytes after the checksum",
       R"({"checksum": 0, "trailing_hex": "00", "blocks": [{"type": 3}]})"},
      {"inflates to more than eight times",
       R"({"blocks": [{"type": 1, "address": 0, "image_fill": [0, 100000]}]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "damaged.bird";
    ASSERT_TRUE(WriteBird(path, c.json));
    BirdFile file;
    file.path = path;
    EXPECT_FALSE(file.Load());
    EXPECT_TRUE(file.blocks.empty());
    EXPECT_EQ(file.block_count, 0u);
    EXPECT_EQ(file.data, nullptr);
    EXPECT_FALSE(file.needs_serial);
    EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error);

    std::string bytes = ReadFile(path);
    EXPECT_FALSE(
        file.LoadBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  }
}

// An inconsistent block list is logged with the checksum word read after the last whole block
// and the count of bytes that follow it.
TEST(BirdFile, BlockListMismatchesAreLogged) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string json;
    std::string line;
  };
  const Case cases[] = {
      {"bytes after the checksum",
       R"({"checksum": 0, "trailing_hex": "AABBCC", "blocks": [{"type": 3}]})",
       "BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)\n"},
      // The checksum is then read from the overlong block's first four bytes.
      {"block length past the end",
       R"({"checksum": 0, "blocks": [{"type": 3, "data_hex": "0102", "length": 100}]})",
       "BIRDFILE:\t\t File checksum 03000000\n"
       "BIRDFILE: Block parsing mismatch in data size. (7 bytes remaining)\n"},
      {"more blocks reported than present", R"({"count": 3, "blocks": [{"type": 3}, {"type": 3}]})",
       "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "mismatch.bird";
    ASSERT_TRUE(WriteBird(path, c.json));
    LogCapture trace(DEBUG_BirdFile);
    ASSERT_TRUE(trace.ok());
    BirdFile file;
    file.path = path;
    EXPECT_FALSE(file.Load());
    std::string text = trace.take();
    EXPECT_NE(text.find(c.line), std::string::npos) << text;
  }
}

// The smallest well-formed shapes load.
TEST(BirdFile, SmallestShapesLoad) {
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string json;
    size_t blocks;
  };
  const Case cases[] = {
      {"no blocks", R"({"blocks": []})", 0},
      {"empty images", R"({"blocks": [{"type": 0}, {"type": 1}]})", 2},
      {"exact sizes", R"({"blocks": [{"type": 2}, {"type": 4}, {"type": 5}, {"type": 9}]})", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "small.bird";
    ASSERT_TRUE(WriteBird(path, c.json));
    BirdFile file(path.c_str());
    EXPECT_EQ(file.blocks.size(), c.blocks);
  }
}

TEST(BirdFile, DecodeRecoversScrambledImages) {
  ScratchDir dir;
  std::string plain1, plain2;
  for (int i = 0; i < 40; i++) {
    char byte[3];
    snprintf(byte, sizeof(byte), "%02X", (i * 37 + 11) & 0xFF);
    plain1 += byte;
    snprintf(byte, sizeof(byte), "%02X", (i * 91 + 200) & 0xFF);
    plain2 += byte;
  }
  std::string path = dir / "recovery.bird";
  ASSERT_TRUE(WriteBird(path, R"({"scramble_key": [19088743, 2309737967, 3735928559, 1089832090],
    "blocks": [
      {"type": 0, "address": 16, "image_hex": "0102030405"},
      {"type": 1, "address": 4096, "image_hex": ")" +
                                  plain1 + R"("},
      {"type": 1, "address": 8192, "image_hex": ")" +
                                  plain2 + R"("}]})"));
  BirdFile file(path.c_str());
  ASSERT_EQ(file.blocks.size(), 3u);
  EXPECT_NE(ImageHex(file.blocks[1]), plain1);

  const unsigned int key[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x40F5849A};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  EXPECT_EQ(ImageHex(file.blocks[1]), plain1);
  EXPECT_EQ(ImageHex(file.blocks[2]), plain2);
  EXPECT_EQ(Hex(file.blocks[1].data, 4), "00001000");
  EXPECT_EQ(Hex(file.blocks[2].data, 4), "00002000");
  EXPECT_EQ(ImageHex(file.blocks[0]), "0102030405");
}

TEST(BirdFile, DecodeByteExample) {
  // Key byte 0 is 0x01 and byte 1 is 0x02: stored 0x11 gives 0x10 ^ 0x01; stored 0x32 gives
  // 0x32 ^ 0x02 ^ 0x10 (the previous plain byte) = 0x20.
  ScratchDir dir;
  std::string path = dir / "tiny.bird";
  ASSERT_TRUE(WriteBird(path, R"({"blocks": [{"type": 1, "data_hex": "000000001132"}]})"));
  BirdFile file(path.c_str());
  const unsigned int key[4] = {0x01020304, 0, 0, 0};
  file.DecodeFirmwareBlocks(key);
  EXPECT_EQ(ImageHex(file.blocks[0]), "1020");
}

TEST(BirdFile, ReplaceSerialNumber) {
  ScratchDir dir;
  struct Image {
    uint32_t address, size;
  };
  struct Patch {
    size_t block;
    uint32_t offset;
    const char* hex;
  };
  struct Case {
    const char* name;
    std::vector<Image> images;
    uint32_t serialOffset, descriptorOffset;
    bool result;
    std::vector<Patch> patches; // the only bytes expected to change ("??": left as it was)
  };
  const char* serialWord = "9A84F540";
  const char* serialText = "34??30??46??35??38??34??39??41??"; // "40F5849A", low bytes
  const Case cases[] = {
      {"both places",
       {{0, 0x2000}},
       0x1000,
       0x1100,
       true,
       {{0, 0x1000, serialWord}, {0, 0x1100, serialText}}},
      {"serial word only", {{0, 0x2000}}, 0x1000, 0, true, {{0, 0x1000, serialWord}}},
      {"text only", {{0, 0x2000}}, 0, 0x1FF0, true, {{0, 0x1FF0, serialText}}},
      {"second image", {{0, 0x100}, {0x8000, 0x100}}, 0x80FC, 0, true, {{1, 0xFC, serialWord}}},
      {"no places", {{0, 0x2000}}, 0, 0, false, {}},
      {"word outside every image", {{0, 0x2000}}, 0x3000, 0, false, {}},
      {"word across the image end", {{0, 0x2000}}, 0x1FFE, 0, false, {}},
      {"word below the image", {{0x1000, 0x100}}, 0xFFE, 0, false, {}},
      {"word past the top of memory", {{0xFFFFFF00, 0xF0}}, 0xFFFFFFFE, 0, false, {}},
      {"text outside", {{0, 0x2000}}, 0x1000, 0x1FF8, false, {{0, 0x1000, serialWord}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string json = R"({"blocks": [{"type": 2, "serial_offset": )" +
                       std::to_string(c.serialOffset) + R"(, "descriptor_offset": )" +
                       std::to_string(c.descriptorOffset) + "}";
    for (const Image& image : c.images)
      json += R"(, {"type": 1, "address": )" + std::to_string(image.address) +
              R"(, "image_hex": ")" + NoiseHex(image.size, image.address) + "\"}";
    json += "]}";
    std::string path = dir / "serial.bird";
    ASSERT_TRUE(WriteBird(path, json));
    BirdFile file(path.c_str());
    ASSERT_TRUE(file.needs_serial);

    EXPECT_EQ(file.ReplaceSerialNumber(0x40F5849A), c.result);
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    for (size_t b = 0; b < firmware.size(); b++) {
      std::string expected = NoiseHex(c.images[b].size, c.images[b].address);
      for (const Patch& patch : c.patches)
        if (patch.block == b)
          for (size_t i = 0; patch.hex[i] != '\0'; i++)
            if (patch.hex[i] != '?') expected[2 * patch.offset + i] = patch.hex[i];
      EXPECT_EQ(ImageHex(firmware[b]), expected) << "image " << b;
      EXPECT_EQ(file.blocks[1 + b].address, c.images[b].address);
    }
  }
}

TEST(BirdFile, ValidateDataFindsEveryPosition) {
  ScratchDir dir;
  std::string path = dir / "pattern.bird";
  // Firmware block data: address 00 00 10 00, image AA BB CC DD.
  ASSERT_TRUE(WriteBird(path, R"({"blocks": [{"type": 0, "image_hex": "112233"},
    {"type": 1, "address": 4096, "image_hex": "AABBCCDD"}]})"));
  BirdFile file(path.c_str());
  struct Case {
    const char* name;
    std::vector<unsigned char> pattern;
    bool found;
  };
  const Case cases[] = {
      {"at the last position", {0xCC, 0xDD}, true},
      {"whole block", {0x00, 0x00, 0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}, true},
      {"in the address bytes", {0x00, 0x10}, true},
      {"absent", {0xDD, 0xAA}, false},
      {"only in a loader block", {0x11, 0x22}, false},
      {"longer than the block", {0x00, 0x00, 0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}, false},
      {"empty", {}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(file.ValidateData(c.pattern.data(), unsigned(c.pattern.size())), c.found) << c.name;
}

TEST(BirdFile, DumpBlocksPrintsHexAndText) {
  ScratchDir dir;
  std::string path = dir / "dump.bird";
  ASSERT_TRUE(WriteBird(path, R"({"blocks": [{"type": 3, "data_hex": "414200"},
    {"type": 6, "data_hex": "FF"}]})"));
  BirdFile file(path.c_str());
  testing::internal::CaptureStdout();
  file.DumpBlocks(BirdFile::BLOCK_TYPE(3));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 42 00  AB \n\n");
}

} // namespace
