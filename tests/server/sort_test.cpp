#include "tests/support/LogCapture.h"
#include "server/UpdateServerRequest.h"

#include "app/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> sorted_builds(const std::map<std::string, std::string>& builds) {
  std::vector<std::string> keys;
  for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
    keys.push_back(build);
  return keys;
}

} // namespace

TEST(VersionSort, SplitsIntoExactlyThreeParts) {
  using V = std::vector<std::string>;
  EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2.12.2"), (V{"2", "12", "2"}));
  EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2..2"), (V{"2", "", "2"}));
  EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2.12"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion("2.12.2.1"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitTessarineVersion(""), V{});
}

TEST(VersionSort, NewestFirstByNumericParts) {
  struct Case {
    std::map<std::string, std::string> builds;
    std::vector<std::string> order;
  } cases[] = {
      // Parts compare as numbers, not as text.
      {{{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "1.2.10"}}, {"2", "3", "1"}},
      // Each part is cut to its low 8 bits: 1.256.0 is 1.0.0.
      {{{"1", "1.256.0"}, {"2", "1.0.1"}, {"3", "0.9.9"}}, {"2", "1", "3"}},
      // Text after a part's leading digits is ignored.
      {{{"1", "2.0.0rc1"}, {"2", "2.0.1"}}, {"2", "1"}},
      // Unreadable versions go last; equal versions by descending build number.
      {{{"10", "x.y.z"}, {"20", "1.0"}, {"30", "1.0.0"}, {"40", "1.0.0"}, {"50", ""}},
       {"40", "30", "50", "20", "10"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sorted_builds(c.builds), c.order);
}

// Sorting with an order that is not a strict weak ordering is undefined behaviour; check the
// properties on a mix of readable, unreadable and equal versions.
TEST(VersionSort, IsAStrictWeakOrderingForAnyInput) {
  const std::vector<std::string> versions = {
      "1.2.3",   "1.2.3", "1.10.0",  "",       "a.b.c",           "1.2",   "2..2",
      "1.256.0", "1.0.0", "9.9.9.9", "-1.0.0", "99999999999.0.0", "0.0.0", " 1.2.3"};
  std::vector<std::pair<std::string, std::string>> items;
  for (size_t i = 0; i < versions.size(); ++i)
    items.emplace_back(std::to_string(100 + i % 5) + (i % 3 ? "" : "x"), versions[i]);
  for (const auto& a : items) {
    EXPECT_FALSE(_sortVersion(a, a));
    for (const auto& b : items) {
      if (_sortVersion(a, b)) {
        EXPECT_FALSE(_sortVersion(b, a)) << a.second << " / " << b.second;
      }
      for (const auto& c : items) {
        if (_sortVersion(a, b) && _sortVersion(b, c)) {
          EXPECT_TRUE(_sortVersion(a, c));
        }
        // Incomparability is transitive.
        bool ab = !_sortVersion(a, b) && !_sortVersion(b, a);
        bool bc = !_sortVersion(b, c) && !_sortVersion(c, b);
        if (ab && bc) {
          EXPECT_TRUE(!_sortVersion(a, c) && !_sortVersion(c, a));
        }
      }
    }
  }

  // A larger list sorts to the same order from any starting order.
  std::map<std::string, std::string> builds;
  std::mt19937 random(7);
  for (int i = 0; i < 500; ++i)
    builds[std::to_string(random() % 100000)] = versions[random() % versions.size()];
  auto expected = UpdateServerRequest::SortBuildsByVersion(builds);
  std::vector<std::pair<std::string, std::string>> shuffled(builds.begin(), builds.end());
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  std::sort(shuffled.begin(), shuffled.end(), _sortVersion);
  EXPECT_EQ(shuffled, expected);
}

// A comparison traces the version it cannot read, unless neither text is three parts.
TEST(VersionSort, UnreadableVersionsAreTraced) {
  struct Case {
    const char* a;
    const char* b;
    const char* traced; // null: no trace line
  } cases[] = {
      {"1.2.3", "1.2.4", nullptr}, {"1.2", "", nullptr},       {"1.2.3", "1.2", "1.2"},
      {"x.1.1", "1.2", "x.1.1"},   {"x.1.1", "1..1", "x.1.1"}, {"1.2", "1.2.3", "1.2"},
  };
  for (const Case& c : cases) {
    LogCapture trace(DEBUG_ServerComm);
    ASSERT_TRUE(trace.ok());
    _sortVersion({"1", c.a}, {"2", c.b});
    std::string text = trace.take();
    std::string expected =
        c.traced ? std::string("_sortVersion: Exception converting version: ") + c.traced + "\n"
                 : "";
    EXPECT_EQ(text, expected) << c.a << " / " << c.b;
  }
}
