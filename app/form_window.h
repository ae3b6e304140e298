#pragma once
// The form's Windows controls: creating them, toggling the checkboxes, and carrying out the
// "Modulate" click by moving text between the controls and the window-free Modulate command.

#include "form/form.h"

#include <windows.h>

#include <array>
#include <string_view>

namespace quorvin {

inline constexpr int IDC_MODULATION_BASE = 201;  // 201 + checkbox index, "AM" first
inline constexpr int IDC_NUM_SYMBOLS = 1001;
inline constexpr int IDC_MODULATE = 1002;
inline constexpr int IDC_OUTPUT = 1003;
inline constexpr int IDC_SYMBOL_RATE_MIN = 1010;
inline constexpr int IDC_SYMBOL_RATE_MAX = 1011;
inline constexpr int IDC_SAMPLE_RATE = 1012;
inline constexpr int IDC_FILES_PER_MODULATION = 1013;
inline constexpr int IDC_TIMING_ERROR_MIN = 1014;
inline constexpr int IDC_TIMING_ERROR_MAX = 1015;
inline constexpr int IDC_FREQ_OFFSET_MIN = 1016;
inline constexpr int IDC_FREQ_OFFSET_MAX = 1017;
inline constexpr int IDC_MULTIPATH_ERROR = 1018;
inline constexpr int IDC_SNR_MIN = 1019;
inline constexpr int IDC_SNR_MAX = 1020;
inline constexpr int IDC_FILE_PATH = 1021;
inline constexpr int IDC_ANALOG_FC = 1022;
inline constexpr int IDC_ANALOG_DEVIATION = 1023;
inline constexpr int IDC_AMPLITUDE_MIN = 1024;
inline constexpr int IDC_AMPLITUDE_MAX = 1025;
inline constexpr int IDC_CARRIER_FREQ = 1026;
inline constexpr int IDC_SAVE_SETTINGS_FILE = 301;

// The handles kept for later use; labels and the "Modulate" button are not kept.
struct FormControls {
  std::array<HWND, modulation_checkbox_count> modulation_checkboxes{};
  HWND save_settings_file = nullptr;
  HWND output = nullptr;
  HWND num_symbols = nullptr;
  HWND symbol_rate_min = nullptr;
  HWND symbol_rate_max = nullptr;
  HWND sample_rate = nullptr;
  HWND files_per_modulation = nullptr;
  HWND timing_error_min = nullptr;
  HWND timing_error_max = nullptr;
  HWND frequency_offset_min = nullptr;
  HWND frequency_offset_max = nullptr;
  HWND carrier_frequency = nullptr;
  HWND multipath_error = nullptr;
  HWND snr_min = nullptr;
  HWND snr_max = nullptr;
  HWND file_path = nullptr;
  HWND analog_fc = nullptr;
  HWND analog_deviation = nullptr;
  HWND amplitude_min = nullptr;
  HWND amplitude_max = nullptr;
};

// The handles of the one form, valid from create_form until the main window is destroyed.
const FormControls& form_controls();

// Creates every control of the form in the main window, in table order, and keeps the handles.
void create_form(HWND window);

// True while a message box of the window is open: the window's own buttons then do nothing
// (clicks sent from another process still reach a disabled owner).
bool message_box_open();

// Toggles a checkbox: exactly checked becomes unchecked, any other state becomes checked.
void on_checkbox_clicked(HWND checkbox);

// Posted to the main window by the run's thread when the run is over.
inline constexpr UINT WM_RUN_OVER = WM_APP + 1;
// The main window's timer that shows the report as it grows, while a run goes on.
inline constexpr UINT_PTR run_progress_timer = 1;

// The "Modulate" click: snapshot, then the output box or an "Input Error" message box owned by
// the main window, or a run started on a thread of its own (the window keeps answering; the
// output box shows the report as it grows). A click while a run goes on does nothing.
void on_modulate_clicked(HWND window);

// The report added since the last call, appended to the output box (run_progress_timer).
void show_run_progress();

// The run is over (WM_RUN_OVER): the output box holds the whole report, shown from its start.
void on_run_over(HWND window);

// The window is going: the run starts no further file. Every file it began is finished, with
// its companions, by the time wait_for_run returns; the program must not end before.
void stop_run();
void wait_for_run();

// Reads every box (at most 255 characters each) and every checkbox state from the controls.
FormSnapshot take_form_snapshot();

// Replaces the output box's text; each "\n" becomes "\r\n", the only line break an edit shows.
void set_output_text(std::u16string_view text);

// Most characters a line of the output box keeps, however its text arrives (another program's
// WM_SETTEXT or EM_REPLACESEL included): an edit control lays out one long line in time that
// grows faster than its length (a line of 50,000 characters held the window for half a minute
// under Wine), while the report's own lines, a 255-character folder included, stay under 320.
inline constexpr std::size_t output_line_limit = 512;

}  // namespace quorvin
