#include "core/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tallmap {
namespace {

#define FFFD "\xEF\xBF\xBD"

struct LossyCase {
  std::string in;
  std::string out;  // what Python's bytes.decode("utf-8", "replace") gives
};

// Expected values taken from CPython.
const LossyCase LOSSY_CASES[] = {
    {"", ""},
    {"abc", "abc"},
    {"\xff", FFFD},
    {"a\xff" "b", "a" FFFD "b"},
    {"\xc3", FFFD},                          // truncated two-byte sequence
    {"\xc3\xa9", "\xc3\xa9"},
    {"\xe2\x82", FFFD},                      // truncated three-byte: one mark
    {"\xe2\x82\xac", "\xe2\x82\xac"},
    {"\xe2\x82" "a", FFFD "a"},              // offending byte is kept
    {"\xe0\x80\x80", FFFD FFFD FFFD},        // overlong: every byte
    {"\xed\xa0\x80", FFFD FFFD FFFD},        // surrogate: every byte
    {"\xf0\x9f\x98", FFFD},
    {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
    {"\xf4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
    {"\xf0\x80\x80\x80", FFFD FFFD FFFD FFFD},
    {"\xc0\xaf", FFFD FFFD},
    {"\x80\x80", FFFD FFFD},
    {"\xf8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
    {"\xe1\x80\xe1\x80\x80", FFFD "\xe1\x80\x80"},
    {"\xc2\xc3\xa9", FFFD "\xc3\xa9"},
    {"\xf1\x80\x80", FFFD},
    {std::string("a\0b", 3), std::string("a\0b", 3)},
};

TEST(Utf8, LossyMatchesPythonReplace) {
  for (const LossyCase& c : LOSSY_CASES) {
    bool valid = c.in == c.out;
    EXPECT_EQ(lossy_utf8(c.in), c.out);
    EXPECT_EQ(is_valid_utf8(c.in), valid);
    std::string out = "x";
    EXPECT_EQ(append_lossy_utf8(out, c.in), !valid);
    EXPECT_EQ(out, "x" + c.out);
  }
}

TEST(Utf8, PrintableEscapesControlsAndReplacesInvalid) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name", "plain name"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {"\x1b[2J", "\\u001b[2J"},
      {std::string("\0", 1), "\\u0000"},
      {"\x7f", "\\u007f"},
      {"\xc2\x9b" "31m", "\\u009b31m"},   // C1 control introducer
      {"\xc2\xa0", "\xc2\xa0"},           // no-break space is not a control
      {"\x9b" "31m", FFFD "31m"},         // raw C1 byte is invalid UTF-8
      {"back\\slash \"q\"", "back\\slash \"q\""},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    append_printable(out, in);
    EXPECT_EQ(out, want);
  }
  std::string out;
  EXPECT_TRUE(append_printable(out, "\xff"));
  EXPECT_FALSE(append_printable(out, "\x1b"));
}

}  // namespace
}  // namespace tallmap
