#include "app/form_window.h"
#include "platform/file_sync.h"
#include "run/dataset.h"

#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <variant>

namespace quorvin {
namespace {

// Style words of the form's controls; the literals are the values the form is known by.
constexpr DWORD child_visible = WS_CHILD | WS_VISIBLE;
constexpr DWORD checkbox_style = child_visible | BS_CHECKBOX;
constexpr DWORD push_button_style = child_visible | BS_PUSHBUTTON;
constexpr DWORD label_style = child_visible | SS_LEFT;
constexpr DWORD input_box_style = child_visible | WS_BORDER | ES_AUTOHSCROLL;
constexpr DWORD output_box_style =
    child_visible | WS_BORDER | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;
constexpr DWORD box_ex_style = WS_EX_CLIENTEDGE;
static_assert(checkbox_style == 0x50000002 && push_button_style == 0x50000000 &&
              label_style == 0x50000000 && input_box_style == 0x50800080 &&
              output_box_style == 0x50800844 && box_ex_style == 0x200);

enum class Kind { push_button, label, output_box, checkbox, input_box };

using Box = std::u16string FormSnapshot::*;

struct ControlRow {
  Kind kind;
  const wchar_t* text;  // for an input box, its default from the form's box table instead
  int id;
  int x, y, width, height;
  HWND FormControls::*handle;  // where the handle is kept, or null when it is not
  Box box = nullptr;           // the snapshot text an input box fills
};

// Everything after the modulation checkboxes, in creation order. An input box names the snapshot
// text it fills; its default text comes from the form's box table.
constexpr ControlRow form_table[] = {
    {Kind::push_button, L"Modulate", IDC_MODULATE, 20, 60, 100, 30, nullptr},
    {Kind::label, L"Output:", 0, 20, 100, 150, 22, nullptr},
    {Kind::output_box, L"", IDC_OUTPUT, 20, 130, 200, 100, &FormControls::output},
    {Kind::checkbox, L"Save Settings File", IDC_SAVE_SETTINGS_FILE, 20, 240, 150, 22,
     &FormControls::save_settings_file},
    {Kind::label, L"Number of Symbols:", 0, 220, 550, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_NUM_SYMBOLS, 380, 550, 100, 22, &FormControls::num_symbols,
     &FormSnapshot::num_symbols},
    {Kind::label, L"Symbol Rate Range:", 0, 220, 520, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_SYMBOL_RATE_MIN, 380, 520, 60, 22,
     &FormControls::symbol_rate_min, &FormSnapshot::symbol_rate_min},
    {Kind::input_box, nullptr, IDC_SYMBOL_RATE_MAX, 440, 520, 60, 22,
     &FormControls::symbol_rate_max, &FormSnapshot::symbol_rate_max},
    {Kind::label, L"Sample Rate:", 0, 220, 490, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_SAMPLE_RATE, 380, 490, 100, 22, &FormControls::sample_rate,
     &FormSnapshot::sample_rate},
    {Kind::label, L"Files/Modulation:", 0, 220, 460, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_FILES_PER_MODULATION, 380, 460, 60, 22,
     &FormControls::files_per_modulation, &FormSnapshot::files_per_modulation},
    {Kind::label, L"Symbol Timing Error:", 0, 220, 430, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_TIMING_ERROR_MIN, 380, 430, 60, 22,
     &FormControls::timing_error_min, &FormSnapshot::timing_error_min},
    {Kind::input_box, nullptr, IDC_TIMING_ERROR_MAX, 440, 430, 60, 22,
     &FormControls::timing_error_max, &FormSnapshot::timing_error_max},
    {Kind::label, L"Frequency Offset:", 0, 220, 400, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_FREQ_OFFSET_MIN, 380, 400, 60, 22,
     &FormControls::frequency_offset_min, &FormSnapshot::frequency_offset_min},
    {Kind::input_box, nullptr, IDC_FREQ_OFFSET_MAX, 440, 400, 60, 22,
     &FormControls::frequency_offset_max, &FormSnapshot::frequency_offset_max},
    {Kind::label, L"Carrier Freq (Hz):", 0, 220, 370, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_CARRIER_FREQ, 380, 370, 100, 22,
     &FormControls::carrier_frequency, &FormSnapshot::mix_frequency},
    {Kind::label, L"Multipath Error:", 0, 220, 340, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_MULTIPATH_ERROR, 380, 340, 100, 22,
     &FormControls::multipath_error, &FormSnapshot::multipath_error},
    {Kind::label, L"SNR Range (dB):", 0, 220, 310, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_SNR_MIN, 380, 310, 60, 22, &FormControls::snr_min,
     &FormSnapshot::snr_min},
    {Kind::input_box, nullptr, IDC_SNR_MAX, 440, 310, 60, 22, &FormControls::snr_max,
     &FormSnapshot::snr_max},
    {Kind::label, L"File Path:", 0, 220, 280, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_FILE_PATH, 380, 280, 200, 22, &FormControls::file_path,
     &FormSnapshot::output_folder},
    {Kind::label, L"Analog Fc (Hz):", 0, 220, 250, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_ANALOG_FC, 380, 250, 100, 22, &FormControls::analog_fc,
     &FormSnapshot::analog_carrier_frequency},
    {Kind::label, L"Analog Deviation (Hz):", 0, 220, 220, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_ANALOG_DEVIATION, 380, 220, 100, 22,
     &FormControls::analog_deviation, &FormSnapshot::analog_deviation},
    {Kind::label, L"Amplitude Range:", 0, 220, 190, 150, 22, nullptr},
    {Kind::input_box, nullptr, IDC_AMPLITUDE_MIN, 380, 190, 60, 22, &FormControls::amplitude_min,
     &FormSnapshot::amplitude_min},
    {Kind::input_box, nullptr, IDC_AMPLITUDE_MAX, 440, 190, 60, 22, &FormControls::amplitude_max,
     &FormSnapshot::amplitude_max},
};

FormControls controls;

struct KindStyle {
  const wchar_t* class_name;
  DWORD style;
  DWORD ex_style;
};

KindStyle kind_style(Kind kind) {
  switch (kind) {
    case Kind::push_button:
      return {L"BUTTON", push_button_style, 0};
    case Kind::label:
      return {L"STATIC", label_style, 0};
    case Kind::output_box:
      return {L"EDIT", output_box_style, box_ex_style};
    case Kind::checkbox:
      return {L"BUTTON", checkbox_style, 0};
    case Kind::input_box:
      return {L"EDIT", input_box_style, box_ex_style};
  }
  return {L"STATIC", label_style, 0};
}

HWND create_control(HWND window, Kind kind, const wchar_t* text, int id, int x, int y, int width,
                    int height) {
  const KindStyle look = kind_style(kind);
  // A child window's "menu" argument carries its control ID.
  return CreateWindowExW(look.ex_style, look.class_name, text, look.style, x, y, width, height,
                         window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleW(nullptr), nullptr);
}

// wchar_t is 16 bits on Windows, so UTF-16 moves unit for unit.
std::wstring to_wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string from_wide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

std::u16string box_text(HWND box) {
  wchar_t buffer[256] = {};
  const int length = GetWindowTextW(box, buffer, static_cast<int>(std::size(buffer)));
  return from_wide(std::wstring_view(buffer, length > 0 ? static_cast<std::size_t>(length) : 0));
}

// A box's default text, as the form's box table gives it.
std::u16string_view default_text(Box box) {
  for (const FormBox& row : form_boxes) {
    if (row.text == box) return row.default_text;
  }
  return {};
}

bool is_checked(HWND checkbox) {
  return SendMessageW(checkbox, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool box_is_open = false;

// A message box owned by the window; its buttons do nothing until it is closed.
void show_message_box(HWND window, const std::wstring& text, const wchar_t* caption) {
  box_is_open = true;
  MessageBoxW(window, text.c_str(), caption, MB_OK);
  box_is_open = false;
}

// The edit control's own procedure, shared by every box.
WNDPROC edit_procedure = nullptr;

// The text with every line cut to output_line_limit characters, or nothing when no line is
// longer. Only "\r\n" ends a line of an edit control.
std::optional<std::wstring> capped_lines(std::wstring_view text) {
  std::wstring kept;
  kept.reserve(text.size());
  std::size_t line = 0;  // characters of the line so far
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      kept += L"\r\n";
      ++i;
      line = 0;
    } else if (line++ < output_line_limit) {
      kept.push_back(text[i]);
    }
  }
  if (kept.size() == text.size()) return std::nullopt;
  return kept;
}

// The text cut to the box's text limit, or nothing when it fits.
std::optional<std::wstring> capped_text(HWND box, const wchar_t* text) {
  const auto limit = static_cast<std::size_t>(CallWindowProcW(edit_procedure, box, EM_GETLIMITTEXT, 0, 0));
  if (wcsnlen(text, limit + 1) <= limit) return std::nullopt;
  return std::wstring(text, limit);
}

// A box takes no more text from a message (another process's, say) than typing or pasting gives
// it: an input box its text limit, 30,000 characters by default; the output box, whose limit is
// lifted for the report, output_line_limit characters a line.
LRESULT CALLBACK capped_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  const bool output = box == controls.output;
  if ((message == WM_SETTEXT || (output && message == EM_REPLACESEL)) && lparam != 0) {
    const auto* text = reinterpret_cast<const wchar_t*>(lparam);
    if (const std::optional<std::wstring> kept = output ? capped_lines(text) : capped_text(box, text))
      return CallWindowProcW(edit_procedure, box, message, wparam, reinterpret_cast<LPARAM>(kept->c_str()));
  }
  return CallWindowProcW(edit_procedure, box, message, wparam, lparam);
}

// The report as the output box shows it: each "\n" becomes "\r\n".
std::wstring shown_text(std::u16string_view text) {
  std::wstring shown;
  shown.reserve(text.size() + text.size() / 16);
  for (const char16_t unit : text) {
    if (unit == u'\n') shown.push_back(L'\r');
    shown.push_back(static_cast<wchar_t>(unit));
  }
  return shown;
}

std::wstring output_text() {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(controls.output)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(controls.output, text.data(), static_cast<int>(text.size()))));
  return text;
}

// ---- The run, on a thread of its own ---------------------------------------------------------

// What the run's thread hands to the window, under its mutex.
struct RunHandover {
  std::mutex mutex;
  std::u16string added;          // report not yet shown
  std::u16string report;         // the whole report, once the run is over
  std::exception_ptr failure;    // an unforeseen failure (memory exhausted building the report)
  bool over = false;             // the run's thread has nothing left to do
  HWND window = nullptr;         // told when the run is over; none once it is gone
};

RunHandover handover;
std::jthread run_thread;  // joinable from a run's start until its end is taken (or the program ends)

// Every file is flushed to the disk before it takes its final name.
const WriteContext disk_writes{.sync = platform::sync_file_to_storage,
                               .abandon = {},
                               .hold = platform::hold_temporary,
                               .remove_stale = platform::remove_unheld_temporary};

void run_in_background(const RunSettings& settings, std::stop_token stop) {
  std::u16string report;
  std::exception_ptr failure;
  try {
    report = run_generation(settings, std::nullopt, disk_writes, std::move(stop), [](std::u16string_view piece) {
      const std::lock_guard lock(handover.mutex);
      handover.added += piece;
    });
  } catch (...) {
    failure = std::current_exception();
  }
  const std::lock_guard lock(handover.mutex);
  handover.report = std::move(report);
  handover.failure = failure;
  handover.over = true;
  if (handover.window != nullptr) PostMessageW(handover.window, WM_RUN_OVER, 0, 0);
}

void start_run(HWND window, RunSettings settings) {
  {
    const std::lock_guard lock(handover.mutex);
    handover.added.clear();
    handover.over = false;
    handover.window = window;
  }
  set_output_text(u"");
  run_thread = std::jthread([settings = std::move(settings)](std::stop_token stop) {
    run_in_background(settings, std::move(stop));
  });
  // Five times a second: the box lays out its text anew on each addition, so additions per file
  // would cost the window more than the run.
  SetTimer(window, run_progress_timer, 200, nullptr);
}

// Appends to the output box, leaving the caret (and the view) after the last line.
void append_output_text(std::u16string_view text) {
  if (text.empty()) return;
  const std::wstring shown = shown_text(text);
  const LRESULT end = GetWindowTextLengthW(controls.output);
  SendMessageW(controls.output, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(controls.output, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(shown.c_str()));
}

}  // namespace

bool message_box_open() { return box_is_open; }

const FormControls& form_controls() {
  return controls;
}

void create_form(HWND window) {
  for (std::size_t i = 0; i < modulation_checkbox_count; ++i) {
    const std::string_view name = modulation_checkbox_names[i];
    const std::wstring caption(name.begin(), name.end());  // the names are plain ASCII
    const int index = static_cast<int>(i);
    controls.modulation_checkboxes[i] =
        create_control(window, Kind::checkbox, caption.c_str(), IDC_MODULATION_BASE + index, 20,
                       820 - 25 * index, 150, 22);
  }
  for (const ControlRow& row : form_table) {
    const std::wstring text = row.box != nullptr ? to_wide(default_text(row.box)) : std::wstring(row.text);
    const HWND handle = create_control(window, row.kind, text.c_str(), row.id, row.x, row.y,
                                       row.width, row.height);
    if (row.handle != nullptr) controls.*row.handle = handle;
    if (row.kind == Kind::input_box || row.kind == Kind::output_box) {
      const auto previous = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(handle, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(capped_box_procedure)));
      if (edit_procedure == nullptr) edit_procedure = previous;
    }
  }
  // The report grows by additions, which an edit control holds to its text limit; its lines
  // stay capped (capped_box_procedure).
  SendMessageW(controls.output, EM_SETLIMITTEXT, 0, 0);
}

void on_checkbox_clicked(HWND checkbox) {
  const WPARAM next = is_checked(checkbox) ? BST_UNCHECKED : BST_CHECKED;
  SendMessageW(checkbox, BM_SETCHECK, next, 0);
}

FormSnapshot take_form_snapshot() {
  FormSnapshot snapshot;
  for (std::size_t i = 0; i < modulation_checkbox_count; ++i)
    snapshot.modulation_checked[i] = is_checked(controls.modulation_checkboxes[i]);
  snapshot.save_settings_checked = is_checked(controls.save_settings_file);
  for (const ControlRow& row : form_table) {
    if (row.box != nullptr) snapshot.*row.box = box_text(controls.*row.handle);
  }
  return snapshot;
}

void set_output_text(std::u16string_view text) {
  SetWindowTextW(controls.output, shown_text(text).c_str());
}

void on_modulate_clicked(HWND window) {
  if (run_thread.joinable()) {
    bool over = false;
    {
      const std::lock_guard lock(handover.mutex);
      over = handover.over;
    }
    if (!over) return;
    on_run_over(window);  // the run ended just now: its report first, then this press
  }
  try {
    auto settings = read_run_settings(take_form_snapshot());
    if (const FormError* error = std::get_if<FormError>(&settings)) {
      if (error->kind == FormError::Kind::no_modulation) {
        set_output_text(error->message);
      } else {
        show_message_box(window, to_wide(error->message), L"Input Error");
      }
      return;
    }
    start_run(window, std::get<RunSettings>(std::move(settings)));
  } catch (const std::exception& error) {
    // The command reports its own failures; this only keeps an unforeseen one (no thread for the
    // run, memory exhausted) from unwinding through the system's dispatch.
    const std::string what = error.what();
    show_message_box(window, std::wstring(what.begin(), what.end()), L"Quorvin");
  }
}

void show_run_progress() {
  std::u16string added;
  {
    const std::lock_guard lock(handover.mutex);
    added.swap(handover.added);
  }
  append_output_text(added);
}

void on_run_over(HWND window) {
  if (!run_thread.joinable()) return;
  KillTimer(window, run_progress_timer);
  run_thread.join();  // its last act was telling the window
  show_run_progress();
  std::u16string report;
  std::exception_ptr failure;
  {
    const std::lock_guard lock(handover.mutex);
    report.swap(handover.report);
    failure = handover.failure;
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      const std::string what = error.what();
      show_message_box(window, std::wstring(what.begin(), what.end()), L"Quorvin");
    } catch (...) {
    }
    return;
  }
  // The box holds the report already, unless something else was set into it meanwhile.
  const std::wstring shown = shown_text(report);
  if (output_text() != shown) SetWindowTextW(controls.output, shown.c_str());
  SendMessageW(controls.output, EM_SETSEL, 0, 0);
  SendMessageW(controls.output, EM_SCROLLCARET, 0, 0);
}

void stop_run() {
  {
    const std::lock_guard lock(handover.mutex);
    handover.window = nullptr;
  }
  run_thread.request_stop();
}

void wait_for_run() {
  if (run_thread.joinable()) run_thread.join();
}

}  // namespace quorvin
