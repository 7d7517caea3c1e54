#include "link/aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t packed;
  bool legacy;
};

// Both layouts, and the border between them at 2.15.
const PackCase kPackCases[] = {
    {0, 0, 0, 0x00000000u, true},   {1, 2, 3, 0x12000003u, true},
    {2, 14, 7, 0x2E000007u, true},  {2, 12, 255, 0x2C0000FFu, true},
    {2, 15, 0, 0x2F020F00u, false}, {2, 255, 255, 0x2F02FFFFu, false},
    {3, 1, 4, 0x2F030104u, false},  {255, 255, 255, 0x2FFFFFFFu, false},
    {1, 15, 9, 0x1F000009u, true},
};

TEST(Version, PackAndParseBothLayouts) {
  for (const PackCase& c : kPackCases) {
    SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + "." +
                 std::to_string(c.patch));
    uint32_t packed = aVersion_Pack(c.major, c.minor, c.patch);
    EXPECT_EQ(packed, c.packed);
    EXPECT_EQ(aVersion_IsLegacyFormat(packed), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(packed), c.major);
    EXPECT_EQ(aVersion_ParseMinor(packed), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(packed), c.patch);
  }
}

TEST(Version, LegacyMinorAboveFifteenIsCutToFourBits) {
  // A legacy minor has four bits only; 1.18 cannot be represented and keeps its low nibble.
  EXPECT_EQ(aVersion_Pack(1, 18, 0), 0x12000000u);
}

TEST(Version, ParseValuesOfEitherLayout) {
  struct {
    uint32_t value;
    bool legacy;
    unsigned major, minor, patch;
  } cases[] = {
      {0x12000000u | 1000u, true, 1, 2, 1000}, // legacy patch is 24 bits wide
      {0x2EFFFFFFu, true, 2, 14, 0xFFFFFF},
      {0x2F000000u, false, 0, 0, 0},
      {0x2F0A0B0Cu, false, 10, 11, 12},
      {0x30000001u, false, 0, 0, 1}, // top nibble 3 or more counts as current
      {0xFF010203u, false, 1, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(aVersion_IsLegacyFormat(c.value), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(c.value), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.value), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.value), c.patch);
  }
}

TEST(Version, CompareOrdering) {
  struct {
    uint8_t a[3];
    uint8_t b[3];
    bool atLeast;
  } cases[] = {
      {{2, 12, 2}, {2, 12, 2}, true},       {{2, 12, 2}, {2, 13, 0}, false},
      {{3, 0, 0}, {2, 255, 255}, true},     {{2, 255, 255}, {3, 0, 0}, false},
      {{2, 12, 3}, {2, 12, 2}, true},       {{2, 12, 1}, {2, 12, 2}, false},
      {{1, 200, 0}, {1, 199, 255}, true},   {{0, 0, 0}, {0, 0, 0}, true},
      {{255, 0, 0}, {128, 255, 255}, true}, // unsigned bytes, no sign trouble
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0])
                 << "." << int(c.b[1]) << "." << int(c.b[2]));
    EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast);
  }
}

TEST(Version, ParseStringFormatsAndStaysTerminated) {
  char text[32];
  EXPECT_EQ(aVersion_ParseString(aVersion_Pack(3, 1, 4), text, sizeof(text)), 5);
  EXPECT_STREQ(text, "3.1.4");
  EXPECT_EQ(aVersion_ParseString(0x12000000u | 1000u, text, sizeof(text)), 8);
  EXPECT_STREQ(text, "1.2.1000");

  char small[4];
  memset(small, 'x', sizeof(small));
  EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 100), small, sizeof(small)), 8);
  EXPECT_STREQ(small, "2.1");
  EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 100), nullptr, 0), 8);
}

TEST(Version, LibraryVersionAndFeatures) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 2);
  EXPECT_STREQ(aVersion_GetString(), "2.12.2");
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 2));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 3));

  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));

  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

TEST(Version, VersionTextFromManyThreadsAtOnce) {
  // The text is built on first use; concurrent first callers must all see it whole.
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
  for (std::thread& t : threads)
    t.join();
  for (const std::string& s : seen)
    EXPECT_EQ(s, "2.12.2");
}

} // namespace
