#include "server/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Decodes `text`; `ok` tells whether the decoder accepted it.
std::string decode(const std::string& text, bool& ok) {
  size_t length = 99;
  std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(text.data(), text.size(), &length));
  ok = out != nullptr;
  if (!ok) return {};
  EXPECT_EQ(out.get()[length], 0) << "result is zero-terminated";
  return std::string(reinterpret_cast<char*>(out.get()), length);
}

std::string encode(const std::string& bytes) {
  size_t length = 0;
  std::unique_ptr<char, FreeDeleter> out(
      base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(out.get()[length], 0);
  return std::string(out.get(), length);
}

} // namespace

TEST(Base64, KnownVectors) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {{""s, ""s},
                                                       {"f"s, "Zg=="s},
                                                       {"fo"s, "Zm8="s},
                                                       {"foo"s, "Zm9v"s},
                                                       {"foob"s, "Zm9vYg=="s},
                                                       {"fooba"s, "Zm9vYmE="s},
                                                       {"foobar"s, "Zm9vYmFy"s},
                                                       {"\xff\xfe\x00\x3f"s, "//4APw=="s}};
  for (const auto& [plain, coded] : cases) {
    EXPECT_EQ(encode(plain), coded);
    bool ok = false;
    EXPECT_EQ(decode(coded, ok), plain) << coded;
    EXPECT_TRUE(ok) << coded;
  }
}

TEST(Base64, RoundTripOfEveryByteValueAndLength) {
  std::string bytes;
  for (int i = 0; i < 300; ++i)
    bytes.push_back(static_cast<char>(i * 7));
  for (size_t n = 0; n <= bytes.size(); n += 13) {
    bool ok = false;
    EXPECT_EQ(decode(encode(bytes.substr(0, n)), ok), bytes.substr(0, n));
    EXPECT_TRUE(ok);
  }
}

TEST(Base64, RejectsMalformedInput) {
  const char* bad[] = {
      "Zm9",      // length not a multiple of 4
      "Zm9vY",    // likewise
      "Zm*v",     // outside the alphabet
      "Zm9v\r\n", // a line end is not part of the text
      "Zm 9",     // blank
      "Z=9v",     // fill before the end
      "Zg==Zm9v", // fill inside the text
      "Zm=v",     // fill followed by data
      "Z===",     // three fill characters
      "====",     // nothing but fill
      "Zm9v-_==", // the URL-safe alphabet is another alphabet
  };
  for (const char* text : bad) {
    bool ok = true;
    decode(text, ok);
    EXPECT_FALSE(ok) << text;
  }
}

TEST(Base64, DecodesInPlaceLikeIntoANewBuffer) {
  for (std::string text : {"", "Zg==", "Zm8=", "Zm9vYmFy", "//4APw==", "Zm9", "Zm=v", "Zm*v"}) {
    bool ok = false;
    std::string expected = decode(text, ok);
    long long length = base64_decode_in_place(text.data(), text.size());
    EXPECT_EQ(length >= 0, ok) << text;
    if (ok) {
      EXPECT_EQ(text.substr(0, static_cast<size_t>(length)), expected);
    }
  }
}
