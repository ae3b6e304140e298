#include "modulation/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "form/form.h"

namespace quorvin {
namespace {

// Stored datasets carry class indices and the form's order: both must never move.
TEST(Catalogue, ClassIndicesAndTheFormsOrderStayPut) {
  const std::vector<std::string> form = {"AM",     "AM-SSB", "FM",     "BPSK",   "QPSK",   "OQPSK",
                                         "Pi/4-DQPSK", "8PSK", "16PSK", "QAM16", "QAM32", "QAM64",
                                         "QAM128", "QAM256", "APSK16", "APSK32", "APSK64", "2FSK",
                                         "4FSK",   "8FSK",   "MSK",    "GMSK"};
  ASSERT_EQ(modulation_checkbox_names.size(), form.size());
  for (std::size_t i = 0; i < form.size(); ++i) {
    EXPECT_EQ(modulation_checkbox_names[i], form[i]);
    EXPECT_EQ(modulation_class_index(form[i]), i) << form[i];
  }
  EXPECT_EQ(modulation_class_index("CW"), 22u);
  EXPECT_EQ(modulation_class_index("QAM1024"), 23u);
  EXPECT_EQ(modulation_class_index("qpsk"), modulation_count);  // case-sensitive
  EXPECT_EQ(modulation_class_index("QAM4096"), modulation_count);
}

TEST(Catalogue, TheRunSynthesisesExactlyTheFourAnalogNames) {
  for (const ModulationRow& row : modulation_catalogue) {
    const bool analog = row.name == "AM" || row.name == "AM-SSB" || row.name == "FM" || row.name == "CW";
    EXPECT_EQ(is_analog_modulation(row.name), analog) << row.name;
    EXPECT_EQ(row.alphabet == 0, analog) << row.name;
  }
  EXPECT_FALSE(is_analog_modulation("am"));
}

}  // namespace
}  // namespace quorvin
