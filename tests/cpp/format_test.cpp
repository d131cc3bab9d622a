#include "core/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tallmap {
namespace {

constexpr uint64_t MAX = UINT64_MAX;

struct SizeCase {
  uint64_t bytes;
  const char* binary;
  const char* si;
};

TEST(FormatSize, BothUnitSystemsAtTheBoundaries) {
  const SizeCase cases[] = {
      {0, "0 B", "0 B"},
      {1, "1 B", "1 B"},
      {999, "999 B", "999 B"},
      {1000, "1000 B", "1.0 kB"},
      {1023, "1023 B", "1.0 kB"},
      {1024, "1.0 KiB", "1.0 kB"},
      {1280, "1.2 KiB", "1.3 kB"},  // 1.25 KiB exactly: ties go to even
      {3840, "3.8 KiB", "3.8 kB"},  // 3.75 KiB exactly: ties go to even
      {1536, "1.5 KiB", "1.5 kB"},
      {999999, "976.6 KiB", "1000.0 kB"},
      {1000000, "976.6 KiB", "1.0 MB"},
      {1048524, "1023.9 KiB", "1.0 MB"},
      {1048575, "1024.0 KiB", "1.0 MB"},
      {1048576, "1.0 MiB", "1.0 MB"},
      {5000000000ull, "4.7 GiB", "5.0 GB"},
      {1ull << 40, "1.0 TiB", "1.1 TB"},
      {1ull << 50, "1.0 PiB", "1.1 PB"},
      {1ull << 60, "1024.0 PiB", "1152.9 PB"},
      {1ull << 63, "8192.0 PiB", "9223.4 PB"},
      {MAX, "16384.0 PiB", "18446.7 PB"},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(format_size(false, c.bytes), c.binary) << c.bytes;
    EXPECT_EQ(format_size(true, c.bytes), c.si) << c.bytes;
  }
}

TEST(FormatSize, AppendsBehindExistingText) {
  std::string out = "x=";
  append_size(out, false, 1536);
  EXPECT_EQ(out, "x=1.5 KiB");
}

TEST(SizeColumn, RightAlignsInTenAndNeverCuts) {
  EXPECT_EQ(size_column(false, 0), "       0 B");
  EXPECT_EQ(size_column(false, 1536), "   1.5 KiB");
  EXPECT_EQ(size_column(true, 5000000000ull), "    5.0 GB");
  EXPECT_EQ(size_column(false, 1048575), "1024.0 KiB");
  EXPECT_EQ(size_column(false, MAX), "16384.0 PiB");
  EXPECT_EQ(size_column(true, MAX), "18446.7 PB");
  std::string out = "ab";
  append_size_column(out, false, 12);
  EXPECT_EQ(out, "ab      12 B");
}

struct ClassCase {
  bool si;
  uint64_t bytes;
  int cls;
};

TEST(SizeClass, ThresholdsFollowTheUnitSystem) {
  const ClassCase cases[] = {
      {false, 0, 3},          {false, 1023, 3},        {false, 1024, 2},
      {false, 1048575, 2},    {false, 1048576, 1},     {false, 1073741823, 1},
      {false, 1073741824, 0}, {false, MAX, 0},         {true, 999, 3},
      {true, 1000, 2},        {true, 999999, 2},       {true, 1000000, 1},
      {true, 999999999, 1},   {true, 1000000000, 0},   {true, MAX, 0},
  };
  for (const ClassCase& c : cases) {
    SizeCell cell = size_class(c.si, c.bytes);
    EXPECT_EQ(cell.size_class, c.cls) << c.si << " " << c.bytes;
    EXPECT_EQ(cell.column, size_column(c.si, c.bytes));
  }
}

TEST(FormatCount, GroupsDigitsByThree) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0"},
      {7, "7"},
      {100, "100"},
      {999, "999"},
      {1000, "1,000"},
      {12345, "12,345"},
      {123456, "123,456"},
      {1234567, "1,234,567"},
      {MAX, "18,446,744,073,709,551,615"},
  };
  for (auto [n, text] : cases) EXPECT_EQ(format_count(n), text) << n;
}

struct ShareCase {
  uint64_t part, whole;
  const char* text;
};

TEST(FormatShare, RoundsHalfUpInTenthsWithoutOverflow) {
  const ShareCase cases[] = {
      {0, 100, "     "},
      {5, 0, "     "},
      {0, 0, "     "},
      {1, 100000, "<0.1%"},
      {1, 2001, "<0.1%"},  // just below 0.05 %
      {1, 2000, " 0.1%"},  // exactly 0.05 % rounds up
      {1, 3, "33.3%"},
      {2, 3, "66.7%"},
      {53, 1000, " 5.3%"},
      {42, 100, "42.0%"},
      {9994, 10000, "99.9%"},
      {9995, 10000, " 100%"},  // 99.95 % rounds up to the whole
      {1, 1, " 100%"},
      {3, 2, " 100%"},
      // Products of 2000 x part overflow 64 bits here.
      {MAX / 2, MAX, "50.0%"},
      {MAX, MAX, " 100%"},
      {MAX, 1, " 100%"},  // the quotient itself does not fit 64 bits
      {1, MAX, "<0.1%"},
      {MAX / 1000, MAX, " 0.1%"},
  };
  for (const ShareCase& c : cases) {
    std::string s = format_share(c.part, c.whole);
    EXPECT_EQ(s, c.text) << c.part << "/" << c.whole;
    EXPECT_EQ(s.size(), 5u);
  }
}

TEST(FormatAge, TruncatesIntoOneUnit) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 s"},       {59, "59 s"},     {60, "1 min"},   {119, "1 min"},
      {3599, "59 min"}, {3600, "1 h"},    {86399, "23 h"}, {86400, "1 d"},
      {90 * 86400, "90 d"},               {MAX, "213503982334601 d"},
  };
  for (auto [s, text] : cases) EXPECT_EQ(format_age(s), text) << s;
}

}  // namespace
}  // namespace tallmap
