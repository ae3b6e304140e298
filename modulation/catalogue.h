#pragma once
// What each modulation name is, in one table: the form's checkboxes, the command line's names,
// the plan's analog test, the generator's routes and the labels' classes all read it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvin {

// Whether a name carries an analog message or digital symbols (noise counts as analog: it has no
// symbols); the SigMF type and the plan's analog test read it.
enum class SignalKind { analog, digital };

// Which family module makes a name's samples in the exact model (see generator/family.h):
// constellation points through a pulse, continuous-phase keying, an analog message, or no signal
// at all (noise alone), OFDM symbols, linear frequency sweeps, or a standard's frames (one family
// per standard).
enum class FamilyId { linear, keyed, analog, noise, ofdm, chirp, adsb, pocsag, ais, aprs, ble, wifi };

// How a name's samples are made: the analog modulator, or the digital mapper or keyer; within a
// family, its variant (offset, differential, cross or square grid, ring set, Gaussian, sideband).
// The routes after apsk are the exact model's alone.
enum class Route {
  am, am_ssb, fm, cw, psk, oqpsk, pi4_dqpsk, fsk, msk, gmsk, qam32, qam128, qam_square, apsk,
  ook, ask, qam_cross, gfsk, am_dsb_sc, am_lsb, am_usb, noise,
  ofdm, lfm_radar, lfm_data, css, adsb, pocsag, ais, aprs, ble, wifi
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
  SignalKind kind;
  FamilyId family_id;
  Route route;
  std::int32_t alphabet;  // symbols of a digital route (the SigMF order); 0 for analog
  bool on_form;           // a checkbox of the form; those rows come first, in checkbox order
  SignalClass signal;
};

// Every name a run knows, in production order: the form's 22, "CW" and "QAM1024", then the exact
// model's own names. A row's position is its class index in the labels, so new names are only
// ever appended. "QAM<n>" and "APSK<n>" outside the table are still routed by prefix (see
// find_digital_route in generator/route.h).
inline constexpr ModulationRow modulation_catalogue[] = {
    {"AM", SignalKind::analog, FamilyId::analog, Route::am, 0, true, {"am"}},
    {"AM-SSB", SignalKind::analog, FamilyId::analog, Route::am_ssb, 0, true, {"ssb", {}, {}, "lower sideband"}},
    {"FM", SignalKind::analog, FamilyId::analog, Route::fm, 0, true, {"fm"}},
    {"BPSK", SignalKind::digital, FamilyId::linear, Route::psk, 2, true, {"psk"}},
    {"QPSK", SignalKind::digital, FamilyId::linear, Route::psk, 4, true, {"psk"}},
    {"OQPSK", SignalKind::digital, FamilyId::linear, Route::oqpsk, 4, true, {"psk", "offset"}},
    {"Pi/4-DQPSK", SignalKind::digital, FamilyId::linear, Route::pi4_dqpsk, 4, true, {"psk", "differential", "pi/4"}},
    {"8PSK", SignalKind::digital, FamilyId::linear, Route::psk, 8, true, {"psk"}},
    {"16PSK", SignalKind::digital, FamilyId::linear, Route::psk, 16, true, {"psk"}},
    {"QAM16", SignalKind::digital, FamilyId::linear, Route::qam_square, 16, true, {"qam"}},
    {"QAM32", SignalKind::digital, FamilyId::linear, Route::qam32, 32, true, {"qam"}},
    {"QAM64", SignalKind::digital, FamilyId::linear, Route::qam_square, 64, true, {"qam"}},
    {"QAM128", SignalKind::digital, FamilyId::linear, Route::qam128, 128, true, {"qam"}},
    {"QAM256", SignalKind::digital, FamilyId::linear, Route::qam_square, 256, true, {"qam"}},
    {"APSK16", SignalKind::digital, FamilyId::linear, Route::apsk, 16, true, {"psk", {}, "APSK"}},
    {"APSK32", SignalKind::digital, FamilyId::linear, Route::apsk, 32, true, {"psk", {}, "APSK"}},
    {"APSK64", SignalKind::digital, FamilyId::linear, Route::apsk, 64, true, {"psk", {}, "APSK"}},
    {"2FSK", SignalKind::digital, FamilyId::keyed, Route::fsk, 2, true, {"fsk"}},
    {"4FSK", SignalKind::digital, FamilyId::keyed, Route::fsk, 4, true, {"fsk"}},
    {"8FSK", SignalKind::digital, FamilyId::keyed, Route::fsk, 8, true, {"fsk"}},
    {"MSK", SignalKind::digital, FamilyId::keyed, Route::msk, 2, true, {"msk"}},
    {"GMSK", SignalKind::digital, FamilyId::keyed, Route::gmsk, 2, true, {"msk", {}, "GMSK, BT 0.3"}},
    {"CW", SignalKind::analog, FamilyId::analog, Route::cw, 0, false, {"am", {}, "CW"}},
    {"QAM1024", SignalKind::digital, FamilyId::linear, Route::qam_square, 1024, false, {"qam"}},
    // The exact model's alone (see classic_modulation_count).
    {"OOK", SignalKind::digital, FamilyId::linear, Route::ook, 2, false, {"ook"}},
    {"4ASK", SignalKind::digital, FamilyId::linear, Route::ask, 4, false, {"ask"}},
    {"8ASK", SignalKind::digital, FamilyId::linear, Route::ask, 8, false, {"ask"}},
    {"16ASK", SignalKind::digital, FamilyId::linear, Route::ask, 16, false, {"ask"}},
    {"32ASK", SignalKind::digital, FamilyId::linear, Route::ask, 32, false, {"ask"}},
    {"64ASK", SignalKind::digital, FamilyId::linear, Route::ask, 64, false, {"ask"}},
    {"32PSK", SignalKind::digital, FamilyId::linear, Route::psk, 32, false, {"psk"}},
    {"64PSK", SignalKind::digital, FamilyId::linear, Route::psk, 64, false, {"psk"}},
    {"QAM512", SignalKind::digital, FamilyId::linear, Route::qam_cross, 512, false, {"qam"}},
    {"QAM2048", SignalKind::digital, FamilyId::linear, Route::qam_cross, 2048, false, {"qam"}},
    {"QAM4096", SignalKind::digital, FamilyId::linear, Route::qam_square, 4096, false, {"qam"}},
    {"APSK128", SignalKind::digital, FamilyId::linear, Route::apsk, 128, false, {"psk", {}, "APSK"}},
    {"APSK256", SignalKind::digital, FamilyId::linear, Route::apsk, 256, false, {"psk", {}, "APSK"}},
    {"16FSK", SignalKind::digital, FamilyId::keyed, Route::fsk, 16, false, {"fsk"}},
    {"2GFSK", SignalKind::digital, FamilyId::keyed, Route::gfsk, 2, false, {"fsk", {}, "GFSK"}},
    {"4GFSK", SignalKind::digital, FamilyId::keyed, Route::gfsk, 4, false, {"fsk", {}, "GFSK"}},
    {"8GFSK", SignalKind::digital, FamilyId::keyed, Route::gfsk, 8, false, {"fsk", {}, "GFSK"}},
    {"16GFSK", SignalKind::digital, FamilyId::keyed, Route::gfsk, 16, false, {"fsk", {}, "GFSK"}},
    {"4MSK", SignalKind::digital, FamilyId::keyed, Route::msk, 4, false, {"msk"}},
    {"8MSK", SignalKind::digital, FamilyId::keyed, Route::msk, 8, false, {"msk"}},
    {"16MSK", SignalKind::digital, FamilyId::keyed, Route::msk, 16, false, {"msk"}},
    {"4GMSK", SignalKind::digital, FamilyId::keyed, Route::gmsk, 4, false, {"msk", {}, "GMSK"}},
    {"8GMSK", SignalKind::digital, FamilyId::keyed, Route::gmsk, 8, false, {"msk", {}, "GMSK"}},
    {"16GMSK", SignalKind::digital, FamilyId::keyed, Route::gmsk, 16, false, {"msk", {}, "GMSK"}},
    {"AM-DSB-SC", SignalKind::analog, FamilyId::analog, Route::am_dsb_sc, 0, false, {"dsb", {}, {}, "suppressed carrier"}},
    {"AM-LSB", SignalKind::analog, FamilyId::analog, Route::am_lsb, 0, false, {"ssb", {}, {}, "lower sideband"}},
    {"AM-USB", SignalKind::analog, FamilyId::analog, Route::am_usb, 0, false, {"ssb", {}, {}, "upper sideband"}},
    // No symbols, so no alphabet: SignalKind::analog as far as the classic model's checks go.
    {"Noise", SignalKind::analog, FamilyId::noise, Route::noise, 0, false, {}},
    // OFDM's alphabet is its count of active subcarriers; each carries a point of a drawn scheme.
    {"OFDM-64", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 64, false, {"qam"}},
    {"OFDM-72", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 72, false, {"qam"}},
    {"OFDM-128", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 128, false, {"qam"}},
    {"OFDM-180", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 180, false, {"qam"}},
    {"OFDM-256", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 256, false, {"qam"}},
    {"OFDM-300", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 300, false, {"qam"}},
    {"OFDM-512", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 512, false, {"qam"}},
    {"OFDM-600", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 600, false, {"qam"}},
    {"OFDM-900", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 900, false, {"qam"}},
    {"OFDM-1024", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 1024, false, {"qam"}},
    {"OFDM-1200", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 1200, false, {"qam"}},
    {"OFDM-2048", SignalKind::digital, FamilyId::ofdm, Route::ofdm, 2048, false, {"qam"}},
    // A radar pulse carries no symbol (one value); CSS draws up to 2^12 and keeps its own SF's.
    {"LFM-radar", SignalKind::digital, FamilyId::chirp, Route::lfm_radar, 1, false, {"fm", {}, "LFM radar"}},
    {"LFM-data", SignalKind::digital, FamilyId::chirp, Route::lfm_data, 2, false, {"fsk", {}, "LFM"}},
    {"CSS", SignalKind::digital, FamilyId::chirp, Route::css, 4096, false, {"fsk", {}, "CSS"}},
    // A standard's own emitter: its frames, bit rate and fields as the standard writes them.
    {"ADS-B", SignalKind::digital, FamilyId::adsb, Route::adsb, 2, false, {"ook", {}, "PPM, Mode S extended squitter"}},
    {"POCSAG", SignalKind::digital, FamilyId::pocsag, Route::pocsag, 2, false, {"fsk", {}, "POCSAG"}},
    {"AIS", SignalKind::digital, FamilyId::ais, Route::ais, 2, false, {"msk", {}, "GMSK, BT 0.4, AIS"}},
    {"APRS", SignalKind::digital, FamilyId::aprs, Route::aprs, 2, false, {"fm", {}, "AFSK 1200, AX.25, APRS"}},
    {"BLE", SignalKind::digital, FamilyId::ble, Route::ble, 2, false, {"fsk", {}, "GFSK, BT 0.5, BLE advertising"}},
    // Its alphabet, as OFDM's, is its count of active subcarriers (48 data, 4 pilots).
    {"802.11a/g", SignalKind::digital, FamilyId::wifi, Route::wifi, 52, false, {"qam", {}, "OFDM, 802.11a/g"}},
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
  return row != nullptr && row->kind == SignalKind::analog;
}

// Whether the classic model can make the row's samples.
constexpr bool in_classic_model(const ModulationRow& row) {
  return static_cast<std::size_t>(&row - modulation_catalogue) < classic_modulation_count;
}

// Whether the row is a standard's emitter (ADS-B, POCSAG, 802.11a/g): its frames set the rate and
// length it needs, so "every" leaves it out (its name and its group "standard" select it).
constexpr bool is_standard(const ModulationRow& row) { return row.family_id >= FamilyId::adsb; }

// The group a row is listed under and, where in_group holds, selected by (`-m fsk`): its SigMF
// class, APSK apart from PSK, and its family's name for noise, OFDM and chirps (their SigMF class
// is their carriers').
constexpr std::string_view modulation_group(const ModulationRow& row) {
  if (is_standard(row)) return "standard";
  if (row.family_id == FamilyId::noise) return "noise";
  if (row.family_id == FamilyId::ofdm) return "ofdm";
  if (row.family_id == FamilyId::chirp) return "chirp";
  if (row.signal.class_variant == "APSK") return "apsk";
  return row.signal.mod_class;
}

// Two names whose files can be one signal under two labels. `always`: every file of `name` is a
// file of `other` for one of its draws (AM-SSB's side is drawn per file), so "every" and `name`'s
// group leave `name` out (its name and "all" still select it), and no two classes of theirs are
// one signal; otherwise only a draw `where` says makes them one, which the default ranges never
// reach (README's "Names that are one signal" says what keeps each pair apart).
struct SharedSignal {
  std::string_view name;
  std::string_view other;
  std::string_view where;
  bool always = false;
};

inline constexpr SharedSignal shared_signals[] = {
    {"AM-SSB", "AM-LSB", "on its lower side (drawn per file, or --sideband lower)", true},
    {"AM-SSB", "AM-USB", "on its upper side (drawn per file, or --sideband upper)", true},
    {"CW", "AM", "where the --am-index range holds 0"},
    {"CW", "FM", "at --analog-deviation 0"},
    {"CW", "AM-LSB",
     "where --analog-fc-min/max and --frequency-offset-min/max together span more than "
     "--message-frequency-min"},
    {"CW", "AM-USB",
     "where --analog-fc-min/max and --frequency-offset-min/max together span more than "
     "--message-frequency-min"},
    {"AM-LSB", "AM-USB",
     "where --analog-fc-min/max and --frequency-offset-min/max together span more than twice "
     "--message-frequency-min"},
    {"MSK", "2FSK", "where the --fsk-index range holds 0.5"},
    {"GMSK", "2GFSK", "where the --fsk-index range holds 0.5"},
    {"4MSK", "4FSK", "where the --fsk-index range holds 0.5"},
    {"8MSK", "8FSK", "where the --fsk-index range holds 0.5"},
    {"16MSK", "16FSK", "where the --fsk-index range holds 0.5"},
    {"4GMSK", "4GFSK", "where the --fsk-index range holds 0.5"},
    {"8GMSK", "8GFSK", "where the --fsk-index range holds 0.5"},
    {"16GMSK", "16GFSK", "where the --fsk-index range holds 0.5"},
};

// Whether the row's group selects it: false for a name whose every file is other names' files.
constexpr bool in_group(const ModulationRow& row) {
  for (const SharedSignal& shared : shared_signals) {
    if (shared.always && shared.name == row.name) return false;
  }
  return true;
}

// Whether "every" selects it: its group does, and it is no standard's emitter (whose frames need
// a rate and length of their own).
constexpr bool in_every(const ModulationRow& row) { return in_group(row) && !is_standard(row); }

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
