#include "link/aDefs.h"
#include "link/aError.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

namespace {

TEST(Error, EveryCodeHasItsOwnNameAndText) {
  std::set<std::string> names;
  std::set<std::string> texts;
  for (aErr code = aErrNone; code <= aErrUnknown; ++code) {
    SCOPED_TRACE(code);
    const char* name = aError_GetErrorText(code);
    const char* text = aError_GetErrorDescription(code);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(strncmp(name, "aErr", 4), 0);
    EXPECT_GT(strlen(text), 0u);
    names.insert(name);
    texts.insert(text);
  }
  EXPECT_EQ(names.size(), 35u);
  EXPECT_EQ(texts.size(), 35u);
}

TEST(Error, NamesAndTextsMatchTheirCodes) {
  struct {
    aErr code;
    const char* name;
    const char* text;
  } cases[] = {
      {aErrNone, "aErrNone", "Success, no error"},
      {aErrParam, "aErrParam", "Invalid parameter"},
      {aErrIO, "aErrIO", "Input/Output error"},
      {aErrTimeout, "aErrTimeout", "Timeout occurred"},
      {aErrShortCommand, "aErrShortCommand", "Tessarine command to short"},
      {aErrCancel, "aErrCancel", "Cancellation occurred, or did not complete"},
      {aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
      {aErrUnknown, "aErrUnknown", "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(aError_GetErrorText(c.code), c.name);
    EXPECT_STREQ(aError_GetErrorDescription(c.code), c.text);
  }
  EXPECT_EQ(aErrShortCommand, 27u);
  EXPECT_EQ(aErrUnknown, 34u);
}

TEST(Error, OutOfRangeCodesReadTheUnknownRow) {
  for (aErr code : {35u, 36u, 1000u, static_cast<aErr>(UINT_MAX)}) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
  }
}

TEST(Defs, SeventeenModelsHaveNames) {
  int named = 0;
  for (int model = -5; model < 300; ++model) {
    const char* name = aDefs_GetModelName(model);
    ASSERT_NE(name, nullptr);
    bool expected = model == 4 || model == 5 || (model >= 13 && model <= 27);
    EXPECT_EQ(strcmp(name, "Unknown") != 0, expected) << model;
    named += expected;
  }
  EXPECT_EQ(named, 17);
  EXPECT_STREQ(aDefs_GetModelName(6), "Unknown");
  EXPECT_STREQ(aDefs_GetModelName(0), "Unknown");
}

} // namespace
