#include "common/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvin {
namespace {

TEST(Text, RoundTripsEveryPlane) {
  const std::u16string text = u"QPSK d\u00e9j\u00e0 \u6570\u636e \U0001F4E1 end";
  const std::string utf8 = utf16_to_utf8(text);
  EXPECT_EQ(utf8, "QPSK d\xc3\xa9j\xc3\xa0 \xe6\x95\xb0\xe6\x8d\xae \xf0\x9f\x93\xa1 end");
  EXPECT_EQ(utf8_to_utf16(utf8), text);
  // Each end of each encoded length: one, two, three and four bytes.
  const std::u16string edges = u"\u007f\u0080\u07ff\u0800\uffff\U00010000";
  EXPECT_EQ(utf16_to_utf8(edges), "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80");
  EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(edges)), edges);
}

TEST(Text, MalformedBytesTravelAsEscapesAndComeBackExactly) {
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");
  EXPECT_EQ(utf16_to_utf8(u"a" + std::u16string(1, char16_t{0xDC00}) + u"b"), "a\xef\xbf\xbd" "b");
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"\xff", u"\xdcff"},
      {"\xc3", u"\xdcc3"},                                   // truncated
      {"\xc0\xaf", u"\xdcc0\xdcaf"},                         // overlong "/"
      {"\xed\xa0\x80", u"\xdced\xdca0\xdc80"},               // encoded surrogate
      {"\xc3(x", u"\xdcc3(x"},                               // the bad byte does not eat the next
      {"bad\xff\xfename/\xc3\xa9", u"bad\xdcff\xdcfename/\u00e9"},  // valid text around it stays text
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_to_utf16(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(utf16_to_utf8(c.text), c.bytes) << c.bytes;
  }
}

struct NearCase {
  std::string typed;
  std::vector<std::string> candidates;
  std::vector<std::string> meant;
};

const std::vector<std::string> names = {"AM", "QPSK", "OQPSK", "QAM16", "QAM32", "QAM128", "QAM1024", "GMSK", "qam", "Pi/4-DQPSK"};
const std::vector<std::string> options = {"--snr-min", "--snr-max", "--seed", "--sample-rate", "--snr-definition"};

TEST(Text, NearestNamesAreWhatWasMeant) {
  const NearCase cases[] = {
      {"qpsk", names, {"QPSK"}},                   // case alone
      {"QAM-16", names, {"QAM16"}},                // punctuation alone
      {"QAM", names, {"qam"}},                     // a group's name in capitals
      {"pi4dqpsk", names, {"Pi/4-DQPSK"}},         // both
      {"QPKS", names, {"QPSK"}},                   // two letters swapped: one edit
      {"QAM1", names, {"QAM16", "QAM128", "QAM1024", "qam"}},  // begun, then one edit off
      {"GMSC", names, {"GMSK"}},                   // one letter off
      {"xy", names, {}},                           // two edits from AM: too many for two letters
      {"", names, {}},
      {"--snr", options, {"--snr-min", "--snr-max", "--snr-definition"}},
      {"--snr-mix", options, {"--snr-min", "--snr-max"}},  // equally near: both
      {"--smaple-rate", options, {"--sample-rate"}},
      {"--frobnicate", options, {}},
      {"--s", options, {}},  // begins all five: says nothing
      {"rct", {"rrc", "rect", "linear"}, {"rect"}},
      {std::string(100000, 'x'), names, {}},  // long text, at once
  };
  for (const NearCase& c : cases) {
    EXPECT_EQ(nearest_names(c.typed, c.candidates), c.meant) << c.typed.substr(0, 20);
  }
}

TEST(Text, DidYouMeanListsTheNames) {
  EXPECT_EQ(did_you_mean({}), "");
  EXPECT_EQ(did_you_mean({"QPSK"}), "did you mean QPSK?");
  EXPECT_EQ(did_you_mean({"--snr-min", "--snr-max"}), "did you mean --snr-min or --snr-max?");
  EXPECT_EQ(did_you_mean({"a", "b", "c"}), "did you mean a, b or c?");
}

}  // namespace
}  // namespace quorvin
