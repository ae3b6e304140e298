// A family's own range, declared once, gives its two options, their reading and its draws.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "plan/exact_options.h"
#include "plan/plan.h"
#include "synthesis/parameters.h"

namespace quorvin {
namespace {

constexpr FamilyRange cyclic_prefix{.key = "cyclic_prefix", .label = "Cyclic Prefix", .unit = "", .help = "cyclic prefix, fraction of N",
                                    .defaults = {0.0625, 0.25}, .low = 0.0, .high = 1.0};
constexpr FamilyRange spreading{.key = "spreading_factor", .label = "Spreading Factor", .unit = "", .help = "spreading factor",
                                 .defaults = {7.0, 12.0}, .low = 5.0, .high = 12.0, .open_low = true, .whole = true};

TEST(FamilyRange, TwoOptionsNamedFromTheKey) {
  const auto options = family_range_options(cyclic_prefix, "ofdm");
  EXPECT_EQ(options[0].option, "--cyclic-prefix-min");
  EXPECT_EQ(options[1].option, "--cyclic-prefix-max");
  EXPECT_EQ(options[0].keyword, "cyclic_prefix");
  EXPECT_EQ(options[0].end, PairEnd::min);
  EXPECT_EQ(options[1].end, PairEnd::max);
  EXPECT_EQ(options[0].default_text, "0.0625");
  EXPECT_EQ(options[1].default_text, "0.25");
  EXPECT_EQ(options[0].help, "lowest cyclic prefix, fraction of N drawn (exact; ofdm)");
  EXPECT_EQ(options[0].accepted, "a number from 0 to 1");
  EXPECT_EQ(family_range_options(spreading, "chirp")[1].accepted, "a whole number above 5 up to 12");
}

// One whole number per draw, each between the ends equally likely, whichever end is given first.
TEST(FamilyRange, WholeDrawsCoverTheRangeEvenly) {
  DrawSource source(7);
  for (const std::array<double, 2> ends : {std::array{7.0, 12.0}, std::array{12.0, 7.0}}) {
    std::map<double, int> counts;
    for (int i = 0; i < 6000; ++i) ++counts[draw_family_value(spreading, ends, source)];
    ASSERT_EQ(counts.size(), 6u);
    EXPECT_EQ(counts.begin()->first, 7.0);
    EXPECT_EQ(counts.rbegin()->first, 12.0);
    // 1000 expected each; five standard deviations of a binomial (n 6000, p 1/6) is 144.
    for (const auto& [value, count] : counts) EXPECT_NEAR(count, 1000, 144) << value;
  }
  for (int i = 0; i < 100; ++i) {
    const double value = draw_family_value(cyclic_prefix, {0.1, 0.2}, source);
    EXPECT_TRUE(value >= 0.1 && value <= 0.2) << value;
  }
}

// The values older than the family modules keep the places they always had: each option after
// the one it always followed, each column between the same neighbours, the FSK index told only
// as the modulation index.
TEST(FamilyRange, OlderValuesKeepTheirPlaces) {
  const auto options = exact_options();
  const auto before = [&options](std::string_view option) {
    const auto at = std::find_if(options.begin(), options.end(), [option](const ExactOption& o) { return o.option == option; });
    return at == options.end() || at == options.begin() ? std::string_view() : std::prev(at)->option;
  };
  for (const auto& [option, follows] : {std::pair{"--rolloff-min", "--pulse"}, std::pair{"--filter-span", "--rolloff-max"},
                                        std::pair{"--fsk-index-min", "--filter-span"}, std::pair{"--gmsk-bt-min", "--fsk-index-max"},
                                        std::pair{"--snr-definition", "--gmsk-bt-max"},
                                        std::pair{"--am-index-min", "--message-frequency-max"},
                                        std::pair{"--samples-per-file", "--am-index-max"}}) {
    EXPECT_EQ(before(option), follows) << option;
  }
  const std::vector<std::string_view> columns = manifest_columns(ManifestPlace::trailing, SignalModel::exact);
  const auto place = [&columns](std::string_view key) { return std::find(columns.begin(), columns.end(), key) - columns.begin(); };
  const std::vector<std::string_view> in_order = {"pulse", "rolloff", "filter_span", "modulation_index", "gmsk_bt", "es_n0_db",
                                                  "eb_n0_db", "start_offset", "sideband", "am_index"};
  for (std::size_t i = 1; i < in_order.size(); ++i) EXPECT_EQ(place(in_order[i]), place(in_order[i - 1]) + 1) << in_order[i];
  EXPECT_EQ(std::find(columns.begin(), columns.end(), "fsk_index"), columns.end());
}

}  // namespace
}  // namespace quorvin
