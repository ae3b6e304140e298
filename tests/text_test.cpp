#include "common/text.h"

#include <gtest/gtest.h>

namespace quorvin {
namespace {

TEST(Text, RoundTripsEveryPlane) {
  const std::u16string text = u"QPSK d\u00e9j\u00e0 \u6570\u636e \U0001F4E1 end";
  const std::string utf8 = utf16_to_utf8(text);
  EXPECT_EQ(utf8, "QPSK d\xc3\xa9j\xc3\xa0 \xe6\x95\xb0\xe6\x8d\xae \xf0\x9f\x93\xa1 end");
  EXPECT_EQ(utf8_to_utf16(utf8), text);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");
  EXPECT_EQ(utf16_to_utf8(u"a" + std::u16string(1, char16_t{0xDC00}) + u"b"), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(utf8_to_utf16("\xff"), u"\ufffd");
  EXPECT_EQ(utf8_to_utf16("\xc3"), u"\ufffd");            // truncated
  EXPECT_EQ(utf8_to_utf16("\xc0\xaf"), u"\ufffd");        // overlong "/"
  EXPECT_EQ(utf8_to_utf16("\xed\xa0\x80"), u"\ufffd");    // encoded surrogate
  EXPECT_EQ(utf8_to_utf16("\xc3(x"), u"\ufffd(x");        // the bad byte does not eat the next
}

}  // namespace
}  // namespace quorvin
