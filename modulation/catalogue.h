#pragma once
// What each modulation name is, in one table: the form's checkboxes, the command line's names,
// the plan's analog test, the generator's routes and the labels' classes all read it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvin {

enum class Family { analog, digital };

// Which family module makes a name's samples in the exact model (see generator/family.h):
// constellation points through a pulse, continuous-phase keying, an analog message, or no signal
// at all (noise alone).
enum class Scheme { linear, keyed, analog, noise };

// How a name's samples are made: the analog modulator, or the digital mapper or keyer; within a
// scheme, its variant (offset, differential, cross or square grid, ring set, Gaussian, sideband).
// The routes after apsk are the exact model's alone.
enum class Route {
  am, am_ssb, fm, cw, psk, oqpsk, pi4_dqpsk, fsk, msk, gmsk, qam32, qam128, qam_square, apsk,
  ook, ask, qam_cross, gfsk, am_dsb_sc, am_lsb, am_usb, noise
};

// The SigMF signal extension's classification of a name; an empty field is left out.
struct SignalClass {
  std::string_view mod_class;
  std::string_view symbol_variant = {};
  std::string_view class_variant = {};
  std::string_view carrier_variant = {};
};

struct ModulationRow {
  std::string_view name;  // exact and case-sensitive
  Family family;
  Scheme scheme;
  Route route;
  std::int32_t alphabet;  // symbols of a digital route (the SigMF order); 0 for analog
  bool on_form;           // a checkbox of the form; those rows come first, in checkbox order
  SignalClass signal;
};

// Every name a run knows, in production order: the form's 22, "CW" and "QAM1024", then the exact
// model's own names. A row's position is its class index in the labels, so new names are only
// ever appended. "QAM<n>" and "APSK<n>" outside the table are still routed by prefix (see
// generate_digital_signal).
inline constexpr ModulationRow modulation_catalogue[] = {
    {"AM", Family::analog, Scheme::analog, Route::am, 0, true, {"am"}},
    {"AM-SSB", Family::analog, Scheme::analog, Route::am_ssb, 0, true, {"ssb", {}, {}, "lower sideband"}},
    {"FM", Family::analog, Scheme::analog, Route::fm, 0, true, {"fm"}},
    {"BPSK", Family::digital, Scheme::linear, Route::psk, 2, true, {"psk"}},
    {"QPSK", Family::digital, Scheme::linear, Route::psk, 4, true, {"psk"}},
    {"OQPSK", Family::digital, Scheme::linear, Route::oqpsk, 4, true, {"psk", "offset"}},
    {"Pi/4-DQPSK", Family::digital, Scheme::linear, Route::pi4_dqpsk, 4, true, {"psk", "differential", "pi/4"}},
    {"8PSK", Family::digital, Scheme::linear, Route::psk, 8, true, {"psk"}},
    {"16PSK", Family::digital, Scheme::linear, Route::psk, 16, true, {"psk"}},
    {"QAM16", Family::digital, Scheme::linear, Route::qam_square, 16, true, {"qam"}},
    {"QAM32", Family::digital, Scheme::linear, Route::qam32, 32, true, {"qam"}},
    {"QAM64", Family::digital, Scheme::linear, Route::qam_square, 64, true, {"qam"}},
    {"QAM128", Family::digital, Scheme::linear, Route::qam128, 128, true, {"qam"}},
    {"QAM256", Family::digital, Scheme::linear, Route::qam_square, 256, true, {"qam"}},
    {"APSK16", Family::digital, Scheme::linear, Route::apsk, 16, true, {"psk", {}, "APSK"}},
    {"APSK32", Family::digital, Scheme::linear, Route::apsk, 32, true, {"psk", {}, "APSK"}},
    {"APSK64", Family::digital, Scheme::linear, Route::apsk, 64, true, {"psk", {}, "APSK"}},
    {"2FSK", Family::digital, Scheme::keyed, Route::fsk, 2, true, {"fsk"}},
    {"4FSK", Family::digital, Scheme::keyed, Route::fsk, 4, true, {"fsk"}},
    {"8FSK", Family::digital, Scheme::keyed, Route::fsk, 8, true, {"fsk"}},
    {"MSK", Family::digital, Scheme::keyed, Route::msk, 2, true, {"msk"}},
    {"GMSK", Family::digital, Scheme::keyed, Route::gmsk, 2, true, {"msk", {}, "GMSK, BT 0.3"}},
    {"CW", Family::analog, Scheme::analog, Route::cw, 0, false, {"am", {}, "CW"}},
    {"QAM1024", Family::digital, Scheme::linear, Route::qam_square, 1024, false, {"qam"}},
    // The exact model's alone (see classic_modulation_count).
    {"OOK", Family::digital, Scheme::linear, Route::ook, 2, false, {"ook"}},
    {"4ASK", Family::digital, Scheme::linear, Route::ask, 4, false, {"ask"}},
    {"8ASK", Family::digital, Scheme::linear, Route::ask, 8, false, {"ask"}},
    {"16ASK", Family::digital, Scheme::linear, Route::ask, 16, false, {"ask"}},
    {"32ASK", Family::digital, Scheme::linear, Route::ask, 32, false, {"ask"}},
    {"64ASK", Family::digital, Scheme::linear, Route::ask, 64, false, {"ask"}},
    {"32PSK", Family::digital, Scheme::linear, Route::psk, 32, false, {"psk"}},
    {"64PSK", Family::digital, Scheme::linear, Route::psk, 64, false, {"psk"}},
    {"QAM512", Family::digital, Scheme::linear, Route::qam_cross, 512, false, {"qam"}},
    {"QAM2048", Family::digital, Scheme::linear, Route::qam_cross, 2048, false, {"qam"}},
    {"QAM4096", Family::digital, Scheme::linear, Route::qam_square, 4096, false, {"qam"}},
    {"APSK128", Family::digital, Scheme::linear, Route::apsk, 128, false, {"psk", {}, "APSK"}},
    {"APSK256", Family::digital, Scheme::linear, Route::apsk, 256, false, {"psk", {}, "APSK"}},
    {"16FSK", Family::digital, Scheme::keyed, Route::fsk, 16, false, {"fsk"}},
    {"2GFSK", Family::digital, Scheme::keyed, Route::gfsk, 2, false, {"fsk", {}, "GFSK"}},
    {"4GFSK", Family::digital, Scheme::keyed, Route::gfsk, 4, false, {"fsk", {}, "GFSK"}},
    {"8GFSK", Family::digital, Scheme::keyed, Route::gfsk, 8, false, {"fsk", {}, "GFSK"}},
    {"16GFSK", Family::digital, Scheme::keyed, Route::gfsk, 16, false, {"fsk", {}, "GFSK"}},
    {"4MSK", Family::digital, Scheme::keyed, Route::msk, 4, false, {"msk"}},
    {"8MSK", Family::digital, Scheme::keyed, Route::msk, 8, false, {"msk"}},
    {"16MSK", Family::digital, Scheme::keyed, Route::msk, 16, false, {"msk"}},
    {"4GMSK", Family::digital, Scheme::keyed, Route::gmsk, 4, false, {"msk", {}, "GMSK"}},
    {"8GMSK", Family::digital, Scheme::keyed, Route::gmsk, 8, false, {"msk", {}, "GMSK"}},
    {"16GMSK", Family::digital, Scheme::keyed, Route::gmsk, 16, false, {"msk", {}, "GMSK"}},
    {"AM-DSB-SC", Family::analog, Scheme::analog, Route::am_dsb_sc, 0, false, {"dsb", {}, {}, "suppressed carrier"}},
    {"AM-LSB", Family::analog, Scheme::analog, Route::am_lsb, 0, false, {"ssb", {}, {}, "lower sideband"}},
    {"AM-USB", Family::analog, Scheme::analog, Route::am_usb, 0, false, {"ssb", {}, {}, "upper sideband"}},
    // No symbols, so no alphabet: Family::analog as far as the classic model's checks go.
    {"Noise", Family::analog, Scheme::noise, Route::noise, 0, false, {}},
};

inline constexpr std::size_t modulation_count = std::size(modulation_catalogue);

// The classic model knows the leading rows only; the rest need the exact model.
inline constexpr std::size_t classic_modulation_count = 24;

// The row of a name (byte for byte), or nullptr for a name outside the table.
constexpr const ModulationRow* find_modulation(std::string_view name) {
  for (const ModulationRow& row : modulation_catalogue) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

// A name's class index: its row's position; modulation_count for a name outside the table.
constexpr std::size_t modulation_class_index(std::string_view name) {
  const ModulationRow* row = find_modulation(name);
  return row == nullptr ? modulation_count : static_cast<std::size_t>(row - modulation_catalogue);
}

// True for the names the run synthesises itself rather than the digital generator.
constexpr bool is_analog_modulation(std::string_view name) {
  const ModulationRow* row = find_modulation(name);
  return row != nullptr && row->family == Family::analog;
}

// Whether the classic model can make the row's samples.
constexpr bool in_classic_model(const ModulationRow& row) {
  return static_cast<std::size_t>(&row - modulation_catalogue) < classic_modulation_count;
}

// The group a row is selected by (`-m fsk`) and listed under: its SigMF class, APSK apart from
// PSK, and "noise" for the name without a signal.
constexpr std::string_view modulation_group(const ModulationRow& row) {
  if (row.scheme == Scheme::noise) return "noise";
  if (row.signal.class_variant == "APSK") return "apsk";
  return row.signal.mod_class;
}

// The names the form offers, in checkbox order.
template <std::size_t count>
constexpr std::array<std::string_view, count> form_modulation_names() {
  std::array<std::string_view, count> names{};
  std::size_t next = 0;
  for (const ModulationRow& row : modulation_catalogue) {
    if (row.on_form && next < count) names[next++] = row.name;
  }
  return names;
}

}  // namespace quorvin
