// Drives the real quorvin.exe from outside its process, as Windows automation would: finds the
// main window by class, reads every control, clicks through BM_CLICK and WM_COMMAND, types
// through WM_SETTEXT and reads back through WM_GETTEXT. The boxes' defaults, messages and check
// order come from the form's box table and the checkbox names from the catalogue; the control
// IDs, geometry, classes and styles are this program's own copy, so that a slip in the window's
// layout shows up here.
//
//   window_driver check <quorvin.exe> [check...]
//                                       start the program in the current folder, check (only the
//                                       checks named, when some are), close it
//   window_driver locate <control id>   print the screen centre of a control of the running program
//   window_driver focus-is <control id> check that the control holds the keyboard focus
//   window_driver after-clicks          check the outcome of scripts/windows-test.sh's real clicks
//
// Every mode ends with "N passed, N failed" and exits non-zero on a failure.

#include "form/form.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using S = quorvin::FormSnapshot;
using Box = std::u16string S::*;

int passed = 0, failed = 0;
std::wstring program;         // quorvin.exe
PROCESS_INFORMATION started;  // its process and thread, when started here
HWND app = nullptr;           // its main window

std::string narrow(std::wstring_view text) {
  std::string out;
  for (const wchar_t unit : text)
    out += unit == L'\r' ? "\\r" : unit == L'\n' ? "\\n" : std::string(1, unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

bool expect(bool ok, const std::string& what) {
  ++(ok ? passed : failed);
  if (!ok) std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  return ok;
}

template <typename Actual, typename Expected>
bool expect_eq(const Actual& actual, const Expected& expected, const std::string& what) {
  const auto show = [](const auto& value) {
    std::ostringstream out;
    if constexpr (std::is_convertible_v<decltype(value), std::wstring_view>) out << '"' << narrow(value) << '"';
    else out << value;
    return out.str();
  };
  return expect(actual == expected, what + ": got " + show(actual) + ", want " + show(expected));
}

int finish() {
  std::printf("window tests: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

// Each wait polls for a state with a generous deadline: a guard against hanging, not a timing
// requirement.
template <typename Condition>
bool wait_for(Condition condition, DWORD deadline_ms = 60000) {
  for (DWORD waited = 0; waited < deadline_ms; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

// A message to a window of the program; fails (and counts) instead of hanging when it never answers.
LRESULT send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  SetLastError(0);
  const LRESULT answered = SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, 120000, &result);
  // Wine returns 0 for some answered messages; only a set error code means no answer.
  if (answered == 0 && GetLastError() != 0) expect(false, "no answer to message " + std::to_string(message));
  return static_cast<LRESULT>(result);
}

HWND item(int id) { return GetDlgItem(app, id); }

std::wstring text_of(HWND window) {
  std::wstring text(static_cast<std::size_t>(send(window, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
  const LRESULT copied = send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::min(static_cast<std::size_t>(copied), text.size() - 1));
  return text;
}
std::wstring text_at(int id) { return text_of(item(id)); }

void set_text(int id, const std::wstring& text) {
  send(item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring class_of(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return name;
}

std::wstring upper(std::wstring text) {
  CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

std::string hex(LONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<DWORD>(value)));
  return text;
}

std::string geometry(long x, long y, long width, long height) {
  return std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(width) + "x" + std::to_string(height);
}

// ---- The form as it must be ----------------------------------------------------------------

enum class Kind { checkbox, push_button, label, output_box, input_box };

struct Look { const wchar_t* class_name; LONG style, ex_style; };

constexpr Look looks[] = {{L"BUTTON", 0x50000002, 0}, {L"BUTTON", 0x50000000, 0}, {L"STATIC", 0x50000000, 0},
                          {L"EDIT", 0x50800844, 0x200}, {L"EDIT", 0x50800080, 0x200}};  // by Kind

struct Control {
  Kind kind;
  std::wstring text;
  int id, x, y, width, height;
  Box box = nullptr;  // the form's box an input box shows
};

// The labelled rows of input boxes: the label 150 x 22 at x 220, each box 22 high on its line.
struct Field { int id, x, width; Box box; };
struct LabelledRow { const wchar_t* label; int y; Field fields[2]; };

constexpr LabelledRow labelled_rows[] = {
    {L"Number of Symbols:", 550, {{1001, 380, 100, &S::num_symbols}}},
    {L"Symbol Rate Range:", 520, {{1010, 380, 60, &S::symbol_rate_min}, {1011, 440, 60, &S::symbol_rate_max}}},
    {L"Sample Rate:", 490, {{1012, 380, 100, &S::sample_rate}}},
    {L"Files/Modulation:", 460, {{1013, 380, 60, &S::files_per_modulation}}},
    {L"Symbol Timing Error:", 430, {{1014, 380, 60, &S::timing_error_min}, {1015, 440, 60, &S::timing_error_max}}},
    {L"Frequency Offset:", 400, {{1016, 380, 60, &S::frequency_offset_min}, {1017, 440, 60, &S::frequency_offset_max}}},
    {L"Carrier Freq (Hz):", 370, {{1026, 380, 100, &S::mix_frequency}}},
    {L"Multipath Error:", 340, {{1018, 380, 100, &S::multipath_error}}},
    {L"SNR Range (dB):", 310, {{1019, 380, 60, &S::snr_min}, {1020, 440, 60, &S::snr_max}}},
    {L"File Path:", 280, {{1021, 380, 200, &S::output_folder}}},
    {L"Analog Fc (Hz):", 250, {{1022, 380, 100, &S::analog_carrier_frequency}}},
    {L"Analog Deviation (Hz):", 220, {{1023, 380, 100, &S::analog_deviation}}},
    {L"Amplitude Range:", 190, {{1024, 380, 60, &S::amplitude_min}, {1025, 440, 60, &S::amplitude_max}}},
};

constexpr int first_checkbox = 201;  // then one ID per name, in the catalogue's form order

std::wstring default_text(Box box) {
  for (const quorvin::FormBox& row : quorvin::form_boxes)
    if (row.text == box) return wide(row.default_text);
  return L"(not in the form's table)";
}

// Every control in creation order.
std::vector<Control> expected_form() {
  std::vector<Control> form;
  for (const std::string_view name : quorvin::modulation_checkbox_names) {
    const int i = static_cast<int>(form.size());
    form.push_back({Kind::checkbox, std::wstring(name.begin(), name.end()), first_checkbox + i, 20, 820 - 25 * i, 150, 22});
  }
  form.push_back({Kind::push_button, L"Modulate", 1002, 20, 60, 100, 30});
  form.push_back({Kind::label, L"Output:", 0, 20, 100, 150, 22});
  form.push_back({Kind::output_box, L"", 1003, 20, 130, 200, 100});
  form.push_back({Kind::checkbox, L"Save Settings File", 301, 20, 240, 150, 22});
  for (const LabelledRow& row : labelled_rows) {
    form.push_back({Kind::label, row.label, 0, 220, row.y, 150, 22});
    for (const Field& f : row.fields)
      if (f.id != 0) form.push_back({Kind::input_box, default_text(f.box), f.id, f.x, row.y, f.width, 22, f.box});
  }
  return form;
}

const std::vector<Control> layout = expected_form();

int id_of(Box box) {
  for (const Control& control : layout)
    if (control.box == box) return control.id;
  return 0;
}

int checkbox_id(std::string_view name) {
  const auto& names = quorvin::modulation_checkbox_names;
  return first_checkbox + static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
}

// ---- Finding and working the running program ------------------------------------------------

HWND find_main_window(DWORD process_id) {
  HWND found = nullptr;
  wait_for([&] {
    for (HWND window = FindWindowW(L"QuorvinClass", nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, L"QuorvinClass", nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (process_id == 0 || owner == process_id) return (found = window) != nullptr;
    }
    return false;
  });
  return found;
}

// Starts the program in the current folder and finds its window; false (the program ended)
// when either fails.
bool start_program() {
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  app = nullptr;
  if (!expect(CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &started) != 0,
              "program starts")) {
    started = {};
    return false;
  }
  // The window can be found while WM_CREATE is still building the form: wait until the
  // program idles in its message loop with the window shown.
  WaitForInputIdle(started.hProcess, 60000);
  app = find_main_window(started.dwProcessId);
  if (app != nullptr) wait_for([&] { return IsWindowVisible(app) != FALSE; });
  if (expect(app != nullptr, "main window found by class")) return true;
  TerminateProcess(started.hProcess, 1);
  return false;
}

void close_program_handles() {
  if (started.hThread != nullptr) CloseHandle(started.hThread);
  if (started.hProcess != nullptr) CloseHandle(started.hProcess);
  started = {};
}

std::vector<HWND> children_in_order(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

bool is_checked(int id) { return send(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
void click(int id) { send(item(id), BM_CLICK, 0, 0); }

// Every control's text and check state: what "nothing changed" compares.
std::vector<std::wstring> form_state() {
  std::vector<std::wstring> state;
  for (HWND child : children_in_order(app)) {
    state.push_back(text_of(child));
    if (upper(class_of(child)) == L"BUTTON") state.push_back(std::to_wstring(send(child, BM_GETCHECK, 0, 0)));
  }
  return state;
}

// Back to the state of a fresh start, set from outside the program's own handlers.
void reset_form() {
  for (const Control& control : layout) {
    if (control.kind == Kind::checkbox) send(item(control.id), BM_SETCHECK, BST_UNCHECKED, 0);
    else if (control.kind == Kind::input_box || control.kind == Kind::output_box) set_text(control.id, control.text);
  }
}

BOOL CALLBACK take_message_box(HWND window, LPARAM result) {
  if (class_of(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(result) = window;
  return FALSE;
}

BOOL CALLBACK count_message_box(HWND window, LPARAM count) {
  if (class_of(window) == L"#32770" && IsWindowVisible(window)) ++*reinterpret_cast<int*>(count);
  return TRUE;
}

// The visible message box of the program's thread, if one is up.
HWND find_message_box() {
  HWND found = nullptr;
  EnumThreadWindows(started.dwThreadId, take_message_box, reinterpret_cast<LPARAM>(&found));
  return found;
}

// A file's bytes; a missing file reads as text no file of the program's holds.
std::string read_file(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return "(no such file)";
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::wstring fresh_folder(const std::wstring& name) {
  const std::wstring folder = std::filesystem::current_path().wstring() + L"\\" + name;
  std::filesystem::create_directory(folder);
  return folder;
}

// A file of `want` sample lines (any number but none when want is 0): two numbers in C's general
// format, one comma, CR LF.
void expect_samples(const std::wstring& path, std::size_t want, const std::string& what) {
  static const std::regex sample(R"(-?(\d+(\.\d+)?(e[+-]\d\d+)?|inf|nan),-?(\d+(\.\d+)?(e[+-]\d\d+)?|inf|nan)\r)");
  const std::string bytes = read_file(path);
  std::istringstream in(bytes);
  std::size_t lines = 0;
  bool ok = bytes.empty() || bytes.back() == '\n';
  for (std::string line; ok && std::getline(in, line); ++lines) ok = std::regex_match(line, sample);
  expect(ok && (want == 0 ? lines > 0 : lines == want), what + ": I,Q lines with CR LF, " + std::to_string(lines) + " of them");
}

std::wstring stem(const std::wstring& folder, std::string_view name, int index) {
  return folder + L"\\" + std::wstring(name.begin(), name.end()) + L"_signal_" + std::to_wstring(index);
}

// The output box after a run of `files` files of each name, in checkbox order.
std::wstring report(const std::wstring& folder, std::vector<std::string_view> names, int files, bool settings) {
  std::wstring text;
  for (const std::string_view name : names)
    for (int index = 1; index <= files; ++index) {
      text += std::wstring(name.begin(), name.end()) + L": Saved to " + stem(folder, name, index) + L".csv\r\n";
      if (settings) text += L"  Settings saved to " + stem(folder, name, index) + L".txt\r\n";
    }
  return text;
}

// ---- The checks -----------------------------------------------------------------------------

void check_main_window() {
  expect_eq(text_of(app), L"Quorvin", "main window title");
  expect_eq(class_of(app), L"QuorvinClass", "main window class");
  RECT outer{};
  GetWindowRect(app, &outer);
  expect_eq(std::to_string(outer.right - outer.left) + "x" + std::to_string(outer.bottom - outer.top), "700x900",
            "main window outer size");
  // The system adds WS_CLIPSIBLINGS and WS_EX_WINDOWEDGE to every overlapped window.
  expect_eq(hex(GetWindowLongW(app, GWL_STYLE) & ~WS_CLIPSIBLINGS), hex(0x10CF0000), "main style");
  expect_eq(hex(GetWindowLongW(app, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE), hex(0), "main ex-style");
  expect(GetMenu(app) == nullptr, "main window has no menu bar");
}

void check_controls() {
  const std::vector<HWND> children = children_in_order(app);
  expect_eq(children.size(), layout.size(), "number of controls");
  for (std::size_t i = 0; i < layout.size() && i < children.size(); ++i) {
    const Control& want = layout[i];
    const Look& look = looks[static_cast<int>(want.kind)];
    const HWND child = children[i];
    const std::string where = "control " + std::to_string(i) + " (" + narrow(want.text) + ")";
    expect_eq(upper(class_of(child)), look.class_name, where + " class");
    expect_eq(text_of(child), want.text, where + " text");
    expect_eq(GetDlgCtrlID(child), want.id, where + " ID");
    RECT box{};
    GetWindowRect(child, &box);
    MapWindowPoints(nullptr, app, reinterpret_cast<POINT*>(&box), 2);
    expect_eq(geometry(box.left, box.top, box.right - box.left, box.bottom - box.top),
              geometry(want.x, want.y, want.width, want.height), where + " x, y, width, height");
    expect_eq(hex(GetWindowLongW(child, GWL_STYLE)) + " " + hex(GetWindowLongW(child, GWL_EXSTYLE)),
              hex(look.style) + " " + hex(look.ex_style), where + " style and ex-style");
    expect(send(child, WM_GETFONT, 0, 0) == 0, where + " keeps the system font");
  }
}

void check_manifest() {
  const HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!expect(image != nullptr, "program file loads as data")) return;
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  std::string manifest;
  if (expect(found != nullptr, "manifest resource 1 present"))
    manifest.assign(static_cast<const char*>(LockResource(LoadResource(image, found))), SizeofResource(image, found));
  expect(manifest.find("level=\"asInvoker\"") != std::string::npos, "manifest asks asInvoker");
  expect(manifest.find("uiAccess=\"false\"") != std::string::npos, "manifest without UI access");
  expect(manifest.find("Common-Controls") == std::string::npos, "manifest has no common-controls dependency");
  FreeLibrary(image);
}

void check_fresh_modulate() {
  expect_eq(text_at(1003), L"", "output box at start");
  click(1002);
  expect_eq(text_at(1003), L"No modulation selected.", "Modulate with nothing ticked");
  expect(find_message_box() == nullptr, "no message box for an empty selection");
}

void check_toggling() {
  struct Case { int id, clicks; bool ticked; };
  const Case cases[] = {{201, 1, true}, {201, 2, false}, {201, 3, true}, {222, 2, false},
                        {222, 3, true}, {208, 1, true},  {301, 2, false}, {301, 3, true}};
  for (const Case& c : cases) {
    reset_form();
    for (int i = 0; i < c.clicks; ++i) click(c.id);
    expect_eq(is_checked(c.id), c.ticked, "ID " + std::to_string(c.id) + " after " + std::to_string(c.clicks) + " clicks");
  }
  // A click toggles only its own box.
  reset_form();
  click(205);
  int ticked = 0;
  for (int id = 201; id <= 222; ++id) ticked += is_checked(id) ? 1 : 0;
  expect(is_checked(205) && ticked == 1 && !is_checked(301), "one click ticks one checkbox");
  // The window procedure's routing, as WM_COMMAND with a click code.
  reset_form();
  for (const int id : {201, 222, 301}) send(app, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item(id)));
  expect(is_checked(201) && is_checked(222) && is_checked(301), "commands 201, 222 and 301 toggle their checkboxes");
}

void check_ignored_commands() {
  struct Case { const char* what; int id; WORD code; int from; };  // from: the long parameter's control, or 0
  const Case cases[] = {
      {"ID 200", 200, 0, 0}, {"ID 223", 223, 0, 0}, {"ID 200 from the first checkbox", 200, 0, 201},
      {"ID 1003 (output box)", 1003, 0, 1003}, {"edit change from a box", 1001, EN_CHANGE, 1001},
      {"non-click code from a checkbox", 201, BN_DOUBLECLICKED, 201},
      {"non-click code from Modulate", 1002, EN_CHANGE, 1002}, {"non-click code from Save Settings", 301, 1, 301}};
  for (const Case& c : cases) {
    reset_form();
    set_text(1003, L"untouched");
    const std::vector<std::wstring> before = form_state();
    send(app, WM_COMMAND, MAKEWPARAM(c.id, c.code), reinterpret_cast<LPARAM>(c.from == 0 ? nullptr : item(c.from)));
    expect(form_state() == before, std::string(c.what) + " changes nothing");
  }
  // Typing into a box raises real edit notifications; they too change nothing else.
  reset_form();
  set_text(1003, L"untouched");
  set_text(1012, L"20000");
  expect_eq(text_at(1003), L"untouched", "typing leaves the output box alone");
  expect(!is_checked(201), "typing ticks nothing");
}

// Presses Modulate expecting the "Input Error" box with `message`; closes it with its button.
void expect_input_error(const std::wstring& message, const std::string& what) {
  PostMessageW(item(1002), BM_CLICK, 0, 0);  // a modal box would hold a sent click
  HWND box = nullptr;
  if (!expect(wait_for([&] { return (box = find_message_box()) != nullptr; }), what + ": message box shown")) return;
  expect_eq(text_of(box), L"Input Error", what + ": caption");
  expect(GetWindow(box, GW_OWNER) == app, what + ": owned by the main window");
  expect_eq(text_of(GetDlgItem(box, 0xFFFF)), message, what + ": message");
  std::vector<HWND> buttons;
  bool icon = false;
  for (HWND child : children_in_order(box)) {
    const std::wstring kind = IsWindowVisible(child) ? upper(class_of(child)) : L"";
    if (kind == L"BUTTON") buttons.push_back(child);
    // Some systems keep the icon control in every box and leave it empty when none is asked.
    icon = icon || (kind == L"STATIC" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                    send(child, STM_GETICON, 0, 0) != 0);
  }
  expect(!icon, what + ": no icon");
  if (expect_eq(buttons.size(), std::size_t{1}, what + ": button count")) {
    expect_eq(text_of(buttons[0]), L"OK", what + ": button text");
    expect_eq(GetDlgCtrlID(buttons[0]), IDOK, what + ": button ID");
    send(buttons[0], BM_CLICK, 0, 0);
  } else {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  expect(wait_for([&] { return !IsWindow(box); }), what + ": message box closed");
  send(app, WM_NULL, 0, 0);  // answered once the click handling has returned
}

// Every box with a message, in the command's order; then two bad boxes, where only the first
// in that order is reported.
void check_input_errors() {
  const std::wstring folder = fresh_folder(L"refused");
  const auto refuse = [&](std::initializer_list<std::pair<Box, const wchar_t*>> typed, std::u16string_view message) {
    reset_form();
    set_text(1021, folder);
    click(201);
    set_text(1003, L"kept");
    for (const auto& [box, text] : typed) set_text(id_of(box), text);
    expect_input_error(wide(message), "box " + std::to_string(id_of(typed.begin()->first)));
    expect_eq(text_at(1003), L"kept", "output after " + narrow(wide(message)));
    for (const auto& [box, text] : typed) expect_eq(text_at(id_of(box)), text, "box keeps the typed text");
  };
  for (const quorvin::FormBox& box : quorvin::form_boxes)
    if (!box.message.empty()) refuse({{box.text, L"x"}}, box.message);
  refuse({{quorvin::form_boxes[0].text, L""}, {quorvin::form_boxes[3].text, L"q"}}, quorvin::form_boxes[0].message);
  expect(std::filesystem::is_empty(folder), "refused attempts write no file");
}

// Ticks the names in the order given, types into the boxes and presses Modulate.
void run(const std::wstring& folder, std::vector<std::string_view> names, bool save_settings,
         std::vector<std::pair<int, std::wstring>> boxes) {
  reset_form();
  set_text(1021, folder);
  for (const auto& [id, text] : boxes) set_text(id, text);
  for (const std::string_view name : names) click(checkbox_id(name));
  if (save_settings) click(301);
  click(1002);  // the run goes on on a thread of the program's own
}

// Whether the run is over: the output box then holds the whole report shown from its start,
// while during a run the caret follows the last line added.
bool run_over(const std::wstring& want) {
  DWORD start = 1, end = 1;
  send(item(1003), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  return start == 0 && end == 0 && text_at(1003) == want;
}

// Waits for the end of the run started by `run`, the output box holding `want`.
void expect_report(const std::wstring& want, const std::string& what) {
  if (!expect(wait_for([&] { return run_over(want); }, 300000), what))
    std::printf("  the output box holds \"%s\"\n  want \"%s\"\n", narrow(text_at(1003)).substr(0, 2000).c_str(),
                narrow(want).substr(0, 2000).c_str());
}

// Analog signals of amplitude 0 at carrier 0 are exact zeros, and zero power draws no noise, so
// every byte of these files is known in advance.
void check_exact_run() {
  const std::wstring folder = fresh_folder(L"exact");
  run(folder, {"AM", "FM"}, true,
      {{1013, L"2"}, {1001, L"4"}, {1022, L"0"}, {1023, L"0"}, {1024, L"0"}, {1025, L"0"}, {1019, L"10"}, {1020, L"10"}});
  expect_report(report(folder, {"AM", "FM"}, 2, true), "report of the exact run");
  expect(find_message_box() == nullptr, "valid run shows no message box");
  const std::regex message_line(R"(Message Frequency: (\d+\.\d{6}) Hz)");
  for (const std::string_view name : {"AM", "FM"})
    for (int index = 1; index <= 2; ++index) {
      const std::string file = std::string(name) + " file " + std::to_string(index);
      expect_eq(read_file(stem(folder, name, index) + L".csv"), std::string("0,0\r\n0,0\r\n0,0\r\n0,0\r\n"), file + " bytes");
      const std::string settings = read_file(stem(folder, name, index) + L".txt");
      std::smatch match;
      std::string message;
      if (expect(std::regex_search(settings, match, message_line), file + " message frequency")) {
        message = match.str(0);
        const double frequency = std::strtod(match[1].str().c_str(), nullptr);
        expect(frequency >= 10.0 && frequency <= 20000.0, file + " message frequency in range");
      }
      expect_eq(settings,
                "Amplitude: 0.000000\r\nCarrier Frequency: 0.000000 Hz\r\n" +
                    std::string(name == "FM" ? "Frequency Deviation: 0.000000 Hz\r\n" : "") + message +
                    "\r\nMixed Frequency: 0.000000 Hz\r\nModulation Type: " + std::string(name) +
                    "\r\nNumber of Samples: 4\r\nSNR: 10.000000 dB\r\nSample Rate: 10000.000000 Hz\r\n",
                file + " settings bytes");
    }
}

// Defaults with real noise: an analog and a digital name, two files each, no settings files.
void check_mixed_run() {
  const std::wstring folder = fresh_folder(L"mixed");
  run(folder, {"QPSK", "AM"}, false, {{1013, L"2"}, {1001, L"100"}});
  expect_report(report(folder, {"AM", "QPSK"}, 2, false), "report in checkbox order, not click order");
  for (const std::string_view name : {"AM", "QPSK"})
    for (int index = 1; index <= 2; ++index) {
      const std::string file = std::string(name) + " file " + std::to_string(index);
      expect_samples(stem(folder, name, index) + L".csv", name == "AM" ? 100 : 0, file);
      expect(!std::filesystem::exists(stem(folder, name, index) + L".txt"), file + " has no settings file");
    }
}

// A box keeps at most 255 characters for the command: the 256th, a letter, is never read.
void check_long_box() {
  const std::wstring folder = fresh_folder(L"long");
  run(folder, {"AM"}, false, {{1001, std::wstring(254, L' ') + L"5x"}});
  expect_report(report(folder, {"AM"}, 1, false), "report of the cut box");
  expect(find_message_box() == nullptr, "256-character box is cut, not refused");
  expect_samples(stem(folder, "AM", 1) + L".csv", 5, "cut box reads as 5 symbols");
}

// While a message box is open, presses of the window's own buttons (sent from another process,
// which a disabled owner still receives) do nothing: no second box, no run behind the first.
void check_presses_behind_a_box() {
  const std::wstring folder = fresh_folder(L"behind");
  reset_form();
  set_text(1021, folder);
  click(201);
  set_text(1001, L"x");
  set_text(1003, L"kept");
  PostMessageW(item(1002), BM_CLICK, 0, 0);
  HWND box = nullptr;
  if (!expect(wait_for([&] { return (box = find_message_box()) != nullptr; }), "first press: message box shown")) return;
  PostMessageW(item(1002), BM_CLICK, 0, 0);
  PostMessageW(item(1002), BM_CLICK, 0, 0);
  set_text(1001, L"5");  // valid now: a press that ran would write AM_signal_1.csv
  PostMessageW(item(1002), BM_CLICK, 0, 0);
  PostMessageW(item(202), BM_CLICK, 0, 0);
  // Posted messages are handled in order: once this one is, every press before it was.
  PostMessageW(item(222), BM_SETCHECK, BST_CHECKED, 0);
  expect(wait_for([] { return is_checked(222); }), "the presses were handled");
  send(item(222), BM_SETCHECK, BST_UNCHECKED, 0);
  int boxes = 0;
  EnumThreadWindows(started.dwThreadId, count_message_box, reinterpret_cast<LPARAM>(&boxes));
  expect_eq(boxes, 1, "message boxes after three more presses");
  expect_eq(text_at(1003), L"kept", "no run behind the box");
  expect(std::filesystem::is_empty(folder), "no file written behind the box");
  expect(!is_checked(202), "a checkbox behind the box stays as it was");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  expect(wait_for([&] { return !IsWindow(box); }), "message box closed");
  send(app, WM_NULL, 0, 0);
  expect(find_message_box() == nullptr, "no box queued behind the first");
  click(1002);  // the window works again
  expect_report(report(folder, {"AM"}, 1, false), "a press after the box runs");
}

// Millions of characters set into a box from another process: the program stays, and the box
// keeps no more than its text limit, as a paste would.
void check_huge_text() {
  for (const std::size_t length : {std::size_t{3000000}, std::size_t{4000000}}) {
    const std::string what = std::to_string(length) + " characters";
    reset_form();
    const std::wstring text(length, L'7');
    // Some systems drop a message this large (the program's GetMessage fails): no answer comes,
    // and the wait is only a guard. Messages sent later are answered after this one either way.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(item(1001), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, 10000, &ignored);
    if (!expect(WaitForSingleObject(started.hProcess, 0) == WAIT_TIMEOUT, what + ": the program still runs")) return;
    expect(send(app, WM_NULL, 0, 0) == 0 && IsWindow(app), what + ": the window answers");
    const auto limit = static_cast<std::size_t>(send(item(1001), EM_GETLIMITTEXT, 0, 0));
    expect(text_at(1001).size() <= limit, what + ": the box keeps at most " + std::to_string(limit));
  }
  reset_form();
}

// A run of 1,000 files with their settings: at every moment of it the window answers within half
// a second and is not reported hung, the output box shows the report as it grows, a second press
// does nothing, and the run ends with the whole report.
void check_answers_during_a_run() {
  using clock = std::chrono::steady_clock;
  const std::wstring folder = fresh_folder(L"answers");
  run(folder, {"AM", "BPSK"}, true, {{1013, L"500"}, {1001, L"200"}});
  const std::wstring want = report(folder, {"AM", "BPSK"}, 500, true);
  clock::duration slowest{};
  int polls = 0, hung = 0;
  bool grew = false, pressed = false;
  for (const auto deadline = clock::now() + std::chrono::minutes(10); !run_over(want) && clock::now() < deadline;) {
    const auto asked = clock::now();
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutW(app, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored) == 0) expect(false, "WM_NULL answered");
    slowest = std::max(slowest, clock::now() - asked);
    hung += IsHungAppWindow(app) ? 1 : 0;
    ++polls;
    const std::wstring shown = text_at(1003);
    if (!shown.empty() && shown.size() < want.size() && want.starts_with(shown)) {
      grew = true;
      if (!pressed) click(1002);  // during the run: nothing happens
      pressed = true;
    }
    Sleep(20);
  }
  const auto slowest_ms = std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count();
  std::printf("  1,000 files: %d polls, slowest answer %lld ms\n", polls, static_cast<long long>(slowest_ms));
  expect(slowest_ms < 500, "the window answers within 0.5 s during the run (slowest " + std::to_string(slowest_ms) + " ms)");
  expect_eq(hung, 0, "polls that found the window hung");
  expect(grew && pressed, "the output box shows the report as it grows");
  expect_report(want, "the whole report at the end");
  Sleep(1000);  // a press that started a second run would have emptied the box by now
  expect(run_over(want), "a press during the run starts nothing");
  const auto files = std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
  expect_eq(files, decltype(files){2000}, "files of the run");
}

// Text set into the output box from outside keeps at most 512 characters a line (only CR LF ends
// a line of an edit) and returns at once, however long the line.
void check_long_lines() {
  constexpr std::size_t line_limit = 512;  // the window's, as this program's own copy
  const auto sevens = [](std::size_t count) { return std::wstring(count, L'7'); };
  std::wstring short_lines;
  while (short_lines.size() < 50000) short_lines += sevens(98) + L"\r\n";
  // timed: the answer must come within half a second (a slow machine may take longer to lay
  // out 50,000 characters, however short their lines)
  struct Case { const char* what; UINT message; std::wstring text, kept; bool timed = true; };
  const Case cases[] = {
      {"one line of 50,000", WM_SETTEXT, sevens(50000), sevens(line_limit)},
      {"one line of 100,000", WM_SETTEXT, sevens(100000), sevens(line_limit)},
      {"one line of 100,000 added", EM_REPLACESEL, sevens(100000), sevens(line_limit)},
      {"a long line among short ones", WM_SETTEXT, L"AM\r\n" + sevens(600) + L"\r\nFM", L"AM\r\n" + sevens(line_limit) + L"\r\nFM"},
      {"a lone line feed ends no line", WM_SETTEXT, L"AM\n" + sevens(600), L"AM\n" + sevens(line_limit - 3)},
      {"lines of 512 kept whole", WM_SETTEXT, sevens(line_limit) + L"\r\n" + sevens(line_limit), sevens(line_limit) + L"\r\n" + sevens(line_limit)},
      {"50,000 characters in short lines kept whole", WM_SETTEXT, short_lines, short_lines, false},
  };
  for (const Case& c : cases) {
    set_text(1003, L"");
    const auto asked = std::chrono::steady_clock::now();
    DWORD_PTR ignored = 0;
    const bool answered = SendMessageTimeoutW(item(1003), c.message, 0, reinterpret_cast<LPARAM>(c.text.c_str()),
                                              SMTO_NORMAL, 120000, &ignored) != 0;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
    expect(answered && (took < 500 || !c.timed), std::string(c.what) + ": answered within 0.5 s (" + std::to_string(took) + " ms)");
    expect_eq(text_at(1003).size(), c.kept.size(), std::string(c.what) + ": characters kept");
    expect(text_at(1003) == c.kept, std::string(c.what) + ": the text kept");
  }
  set_text(1003, L"");
}

// The folder after a run closed part-way: sample files AM_signal_1 .. n, each whole and, when
// settings were saved, with its settings file; nothing else (no temporary).
void expect_whole_pairs(const std::wstring& folder, int samples, bool settings, const std::string& what) {
  std::vector<std::wstring> names, want;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().wstring());
  const auto made = static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::wstring& name) {
    return name.ends_with(L".csv");
  }));
  for (int index = 1; index <= made; ++index) {
    const std::wstring name = stem(folder, "AM", index);
    want.push_back(name + L".csv");
    if (settings) want.push_back(name + L".txt");
    const std::string file = what + ": AM file " + std::to_string(index);
    if (samples == 0) expect_eq(read_file(name + L".csv"), std::string(), file + " is empty");
    else expect_samples(name + L".csv", static_cast<std::size_t>(samples), file);
    if (settings)
      expect(read_file(name + L".txt").find("\r\nNumber of Samples: " + std::to_string(samples) + "\r\n") != std::string::npos,
             file + "'s settings file");
  }
  std::sort(names.begin(), names.end());
  std::sort(want.begin(), want.end());
  expect(made > 0 && names == want, what + ": " + std::to_string(names.size()) + " files, " + std::to_string(made) +
                                        " whole sets numbered from 1 and nothing else");
}

// Closing the window during a run ends the program after the file in hand, with every file
// written whole; the program is started again for the checks after this one.
void check_close_during_a_run() {
  struct Case { const char* what; const wchar_t* files; int samples; bool settings; };
  const Case cases[] = {{"2,147,483,647 files of 0 samples", L"2147483647", 0, true},
                        {"100,000 files of 300 samples", L"100000", 300, true},
                        {"100,000 files without settings", L"100000", 300, false}};
  int case_number = 0;
  for (const Case& c : cases) {
    const std::wstring folder = fresh_folder(L"closed" + std::to_wstring(++case_number));
    const auto files = [&] { return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()); };
    run(folder, {"AM"}, c.settings, {{1013, c.files}, {1001, std::to_wstring(c.samples)}});
    expect(wait_for([&] { return files() >= 10; }), std::string(c.what) + ": files written");
    const auto at_close = files();
    PostMessageW(app, WM_CLOSE, 0, 0);
    // Taking the window down waits on the display (two seconds under Wine without a window manager).
    expect(wait_for([] { return !IsWindow(app); }, 10000), std::string(c.what) + ": the window closes");
    if (expect(WaitForSingleObject(started.hProcess, 30000) == WAIT_OBJECT_0, std::string(c.what) + ": the program ends")) {
      DWORD code = 1;
      GetExitCodeProcess(started.hProcess, &code);
      expect_eq(code, DWORD{0}, std::string(c.what) + ": exit code");
    } else {
      TerminateProcess(started.hProcess, 1);
      WaitForSingleObject(started.hProcess, 10000);
    }
    // A few files may end between the count and the close; a run that went on would make hundreds.
    expect(files() <= at_close + 10, std::string(c.what) + ": the run stops after the file in hand (" +
                                         std::to_string(at_close) + " files at the close, " + std::to_string(files()) + " after)");
    expect_whole_pairs(folder, c.samples, c.settings, c.what);
    close_program_handles();
    if (!start_program()) return;
  }
}

void check_close() {
  PostMessageW(app, WM_CLOSE, 0, 0);
  expect(WaitForSingleObject(started.hProcess, 60000) == WAIT_OBJECT_0, "program ends after closing");
  DWORD code = 1;
  GetExitCodeProcess(started.hProcess, &code);
  expect_eq(code, DWORD{0}, "exit code");
}

int run_checks(const std::vector<std::string>& only) {
  if (start_program()) {
    const std::pair<const char*, void (*)()> checks[] = {
        {"main_window", check_main_window}, {"controls", check_controls}, {"manifest", check_manifest},
        {"fresh_modulate", check_fresh_modulate}, {"toggling", check_toggling},
        {"ignored_commands", check_ignored_commands}, {"input_errors", check_input_errors},
        {"exact_run", check_exact_run}, {"mixed_run", check_mixed_run}, {"long_box", check_long_box},
        {"presses_behind_a_box", check_presses_behind_a_box}, {"huge_text", check_huge_text},
        {"answers_during_a_run", check_answers_during_a_run}, {"long_lines", check_long_lines},
        {"close_during_a_run", check_close_during_a_run}};
    for (const auto& [name, check] : checks)
      if (app != nullptr && (only.empty() || std::find(only.begin(), only.end(), name) != only.end())) check();
    if (app != nullptr) check_close();
  }
  close_program_handles();
  return finish();
}

int locate(int id) {
  app = find_main_window(0);
  RECT box{};
  if (!GetWindowRect(item(id), &box)) return std::fprintf(stderr, "control %d not found\n", id), 1;
  std::printf("%ld %ld\n", (box.left + box.right) / 2, (box.top + box.bottom) / 2);
  return 0;
}

int focus_is(int id) {
  app = find_main_window(0);
  if (!expect(app != nullptr, "main window found by class")) return finish();
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(app, nullptr), &info);
  expect_eq(info.hwndFocus == nullptr ? -1 : GetDlgCtrlID(info.hwndFocus), id, "focused control");
  return finish();
}

// The script ticked "AM" and typed 2 into "Files/Modulation:" with real input events, then
// clicked "Modulate"; the program runs in the current folder, so "." is this folder.
int after_clicks() {
  app = find_main_window(0);
  if (!expect(app != nullptr, "main window found by class")) return finish();
  const std::wstring want = report(L".", {"AM"}, 2, false);
  expect(wait_for([&] { return text_at(1003) == want; }), "report after real clicks: \"" + narrow(text_at(1003)) + "\"");
  expect(is_checked(201), "AM ticked by a real click");
  expect_eq(text_at(1013), L"2", "Files/Modulation typed");
  for (int index = 1; index <= 2; ++index)
    expect_samples(stem(L".", "AM", index) + L".csv", 1000, "AM file " + std::to_string(index) + " of 1000 samples");
  return finish();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check" && argc >= 3) {
    // A Unix path names the same file on Wine's drive of the current folder once its
    // separators are Windows ones.
    for (const char* c = argv[2]; *c != '\0'; ++c) program.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    return run_checks(std::vector<std::string>(argv + 3, argv + argc));
  }
  if (mode == "locate" && argc == 3) return locate(std::atoi(argv[2]));
  if (mode == "focus-is" && argc == 3) return focus_is(std::atoi(argv[2]));
  if (mode == "after-clicks" && argc == 2) return after_clicks();
  std::fprintf(stderr, "usage: window_driver check <quorvin.exe> [check...] | locate <id> | focus-is <id> | after-clicks\n");
  return 2;
}
