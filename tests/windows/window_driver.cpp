// Drives the real quorvin.exe from outside its process, as Windows automation would: finds the
// main window by class, reads every control, clicks through BM_CLICK and WM_COMMAND, types
// through WM_SETTEXT and reads back through WM_GETTEXT. It keeps its own copy of the form's
// layout so that a slip in the program's table shows up here.
//
//   window_driver check <quorvin.exe>   start the program in the current folder, check, close it
//   window_driver locate <control id>   print the screen centre of a control of the running program
//   window_driver focus-is <control id> check that the control holds the keyboard focus
//   window_driver after-clicks          check the outcome of scripts/windows-test.sh's real clicks
//
// Every mode ends with "N passed, N failed" and exits non-zero on a failure.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

std::string narrow(std::wstring_view text) {
  std::string out;
  for (const wchar_t unit : text) {
    if (unit == L'\r') out += "\\r";
    else if (unit == L'\n') out += "\\n";
    else out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}

bool expect(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL: %s\n", what.c_str());
    std::fflush(stdout);
  }
  return ok;
}

template <typename T>
bool expect_eq(const T& actual, const T& expected, const std::string& what) {
  std::ostringstream message;
  message << what << ": got " << actual << ", want " << expected;
  return expect(actual == expected, message.str());
}

bool expect_text(std::wstring_view actual, std::wstring_view expected, const std::string& what) {
  return expect(actual == expected,
                what + ": got \"" + narrow(actual) + "\", want \"" + narrow(expected) + "\"");
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

// A message to the program's window; fails (and counts) instead of hanging when it never answers.
LRESULT send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  SetLastError(0);
  const LRESULT answered =
      SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, 120000, &result);
  // Wine returns 0 for some answered messages; only a set error code means no answer.
  if (answered == 0 && GetLastError() != 0)
    expect(false, "no answer to message " + std::to_string(message));
  return static_cast<LRESULT>(result);
}

std::wstring text_of(HWND window) {
  const auto length = static_cast<std::size_t>(send(window, WM_GETTEXTLENGTH, 0, 0));
  std::wstring text(length + 1, L'\0');
  const auto copied = static_cast<std::size_t>(
      send(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied < length ? copied : length);
  return text;
}

void set_text(HWND window, const std::wstring& text) {
  send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring class_of(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, static_cast<int>(std::size(name)));
  return name;
}

std::wstring upper(std::wstring text) {
  for (wchar_t& unit : text)
    if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - L'a' + L'A');
  return text;
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// ---- The form as it must be ----------------------------------------------------------------

constexpr DWORD checkbox = 0x50000002;
constexpr DWORD plain = 0x50000000;  // push button and labels
constexpr DWORD input_box = 0x50800080;
constexpr DWORD output_box = 0x50800844;
constexpr DWORD client_edge = 0x200;

struct Control {
  std::wstring class_name;
  std::wstring text;
  int id;
  int x, y, width, height;
  DWORD style, ex_style;
};

const wchar_t* const modulation_names[] = {
    L"AM",     L"AM-SSB", L"FM",     L"BPSK",   L"QPSK",   L"OQPSK", L"Pi/4-DQPSK", L"8PSK",
    L"16PSK",  L"QAM16",  L"QAM32",  L"QAM64",  L"QAM128", L"QAM256", L"APSK16",    L"APSK32",
    L"APSK64", L"2FSK",   L"4FSK",   L"8FSK",   L"MSK",    L"GMSK"};

std::vector<Control> expected_form() {
  std::vector<Control> form;
  for (int i = 0; i < 22; ++i)
    form.push_back({L"BUTTON", modulation_names[i], 201 + i, 20, 820 - 25 * i, 150, 22, checkbox, 0});
  const std::vector<Control> rest = {
      {L"BUTTON", L"Modulate", 1002, 20, 60, 100, 30, plain, 0},
      {L"STATIC", L"Output:", 0, 20, 100, 150, 22, plain, 0},
      {L"EDIT", L"", 1003, 20, 130, 200, 100, output_box, client_edge},
      {L"BUTTON", L"Save Settings File", 301, 20, 240, 150, 22, checkbox, 0},
      {L"STATIC", L"Number of Symbols:", 0, 220, 550, 150, 22, plain, 0},
      {L"EDIT", L"1000", 1001, 380, 550, 100, 22, input_box, client_edge},
      {L"STATIC", L"Symbol Rate Range:", 0, 220, 520, 150, 22, plain, 0},
      {L"EDIT", L"1000", 1010, 380, 520, 60, 22, input_box, client_edge},
      {L"EDIT", L"5000", 1011, 440, 520, 60, 22, input_box, client_edge},
      {L"STATIC", L"Sample Rate:", 0, 220, 490, 150, 22, plain, 0},
      {L"EDIT", L"10000", 1012, 380, 490, 100, 22, input_box, client_edge},
      {L"STATIC", L"Files/Modulation:", 0, 220, 460, 150, 22, plain, 0},
      {L"EDIT", L"1", 1013, 380, 460, 60, 22, input_box, client_edge},
      {L"STATIC", L"Symbol Timing Error:", 0, 220, 430, 150, 22, plain, 0},
      {L"EDIT", L"0", 1014, 380, 430, 60, 22, input_box, client_edge},
      {L"EDIT", L"0.1", 1015, 440, 430, 60, 22, input_box, client_edge},
      {L"STATIC", L"Frequency Offset:", 0, 220, 400, 150, 22, plain, 0},
      {L"EDIT", L"0", 1016, 380, 400, 60, 22, input_box, client_edge},
      {L"EDIT", L"100", 1017, 440, 400, 60, 22, input_box, client_edge},
      {L"STATIC", L"Carrier Freq (Hz):", 0, 220, 370, 150, 22, plain, 0},
      {L"EDIT", L"0", 1026, 380, 370, 100, 22, input_box, client_edge},
      {L"STATIC", L"Multipath Error:", 0, 220, 340, 150, 22, plain, 0},
      {L"EDIT", L"0", 1018, 380, 340, 100, 22, input_box, client_edge},
      {L"STATIC", L"SNR Range (dB):", 0, 220, 310, 150, 22, plain, 0},
      {L"EDIT", L"10", 1019, 380, 310, 60, 22, input_box, client_edge},
      {L"EDIT", L"30", 1020, 440, 310, 60, 22, input_box, client_edge},
      {L"STATIC", L"File Path:", 0, 220, 280, 150, 22, plain, 0},
      {L"EDIT", L".", 1021, 380, 280, 200, 22, input_box, client_edge},
      {L"STATIC", L"Analog Fc (Hz):", 0, 220, 250, 150, 22, plain, 0},
      {L"EDIT", L"1000", 1022, 380, 250, 100, 22, input_box, client_edge},
      {L"STATIC", L"Analog Deviation (Hz):", 0, 220, 220, 150, 22, plain, 0},
      {L"EDIT", L"500", 1023, 380, 220, 100, 22, input_box, client_edge},
      {L"STATIC", L"Amplitude Range:", 0, 220, 190, 150, 22, plain, 0},
      {L"EDIT", L"0.5", 1024, 380, 190, 60, 22, input_box, client_edge},
      {L"EDIT", L"1", 1025, 440, 190, 60, 22, input_box, client_edge},
  };
  form.insert(form.end(), rest.begin(), rest.end());
  return form;
}

// The seventeen checked boxes in the command's order, with the message each one earns.
struct BoxMessage {
  int id;
  const wchar_t* message;
};

constexpr BoxMessage box_messages[] = {
    {1010, L"Invalid Symbol Rate Min."},         {1011, L"Invalid Symbol Rate Max."},
    {1012, L"Invalid Sample Rate."},             {1019, L"Invalid SNR Min."},
    {1020, L"Invalid SNR Max."},                 {1018, L"Invalid Multipath Error."},
    {1014, L"Invalid Symbol Timing Error Min."}, {1015, L"Invalid Symbol Timing Error Max."},
    {1016, L"Invalid Frequency Offset Min."},    {1017, L"Invalid Frequency Offset Max."},
    {1026, L"Invalid Mix Frequency."},           {1013, L"Invalid File Count."},
    {1001, L"Invalid Number of Symbols."},       {1022, L"Invalid Analog Fc."},
    {1023, L"Invalid Analog Deviation."},        {1024, L"Invalid Amplitude Min."},
    {1025, L"Invalid Amplitude Max."},
};

// ---- Finding and reading the running program ------------------------------------------------

HWND find_main_window(DWORD process_id) {
  HWND found = nullptr;
  wait_for([&] {
    for (HWND window = FindWindowW(L"QuorvinClass", nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, L"QuorvinClass", nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (process_id == 0 || owner == process_id) {
        found = window;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<HWND> children_in_order(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

HWND item(HWND main, int id) { return GetDlgItem(main, id); }

bool is_checked(HWND main, int id) {
  return send(item(main, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Every control's text and check state: what "nothing changed" compares.
std::vector<std::wstring> form_state(HWND main) {
  std::vector<std::wstring> state;
  for (HWND child : children_in_order(main)) {
    state.push_back(text_of(child));
    if (upper(class_of(child)) == L"BUTTON")
      state.push_back(std::to_wstring(send(child, BM_GETCHECK, 0, 0)));
  }
  return state;
}

// Back to the state of a fresh start, set from outside the program's own handlers.
void reset_form(HWND main) {
  for (const Control& control : expected_form()) {
    if (control.id == 0) continue;
    const HWND handle = item(main, control.id);
    if (control.style == checkbox) send(handle, BM_SETCHECK, BST_UNCHECKED, 0);
    else if (control.class_name == L"EDIT") set_text(handle, control.text);
  }
}

void click(HWND main, int id) { send(item(main, id), BM_CLICK, 0, 0); }

void command(HWND main, int id, WORD code, HWND from) {
  send(main, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(from));
}

BOOL CALLBACK take_message_box(HWND window, LPARAM result) {
  if (class_of(window) == L"#32770" && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(result) = window;
    return FALSE;
  }
  return TRUE;
}

// The visible message box of the program's thread, if one is up.
HWND find_message_box(DWORD thread_id) {
  HWND found = nullptr;
  EnumThreadWindows(thread_id, take_message_box, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::string read_file(const std::wstring& path, bool* exists) {
  std::ifstream file(path.c_str(), std::ios::binary);
  *exists = static_cast<bool>(file);
  std::ostringstream bytes;
  if (*exists) bytes << file.rdbuf();
  return bytes.str();
}

std::wstring current_folder() {
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  return folder;
}

std::wstring fresh_folder(const std::wstring& name) {
  const std::wstring folder = current_folder() + L"\\" + name;
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

bool folder_is_empty(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") empty = false;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return empty;
}

// Sample lines: two numbers in C's general format, one comma, CR LF.
bool is_sample_file(const std::string& bytes, std::size_t* lines) {
  static const std::regex line(
      R"(-?(\d+(\.\d+)?(e[+-]\d\d+)?|inf|nan),-?(\d+(\.\d+)?(e[+-]\d\d+)?|inf|nan)\r\n)");
  *lines = 0;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) return false;
    if (!std::regex_match(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                          bytes.begin() + static_cast<std::ptrdiff_t>(end) + 1, line))
      return false;
    ++*lines;
    start = end + 1;
  }
  return true;
}

// ---- The checks -----------------------------------------------------------------------------

void check_main_window(HWND main) {
  wchar_t title[64] = {};
  GetWindowTextW(main, title, static_cast<int>(std::size(title)));
  expect_text(title, L"Quorvin", "main window title");
  expect_text(class_of(main), L"QuorvinClass", "main window class");
  RECT outer{};
  GetWindowRect(main, &outer);
  expect_eq(outer.right - outer.left, 700L, "main window outer width");
  expect_eq(outer.bottom - outer.top, 900L, "main window outer height");
  // The system adds WS_CLIPSIBLINGS and WS_EX_WINDOWEDGE to every overlapped window.
  const auto style = static_cast<DWORD>(GetWindowLongW(main, GWL_STYLE));
  expect_eq(hex(style & ~static_cast<DWORD>(WS_CLIPSIBLINGS)), hex(0x10CF0000), "main style");
  const auto ex_style = static_cast<DWORD>(GetWindowLongW(main, GWL_EXSTYLE));
  expect_eq(hex(ex_style & ~static_cast<DWORD>(WS_EX_WINDOWEDGE)), hex(0), "main ex-style");
  expect(GetMenu(main) == nullptr, "main window has no menu bar");
}

void check_controls(HWND main) {
  const std::vector<Control> expected = expected_form();
  const std::vector<HWND> children = children_in_order(main);
  expect_eq(children.size(), expected.size(), "number of controls");
  for (std::size_t i = 0; i < expected.size() && i < children.size(); ++i) {
    const Control& want = expected[i];
    const HWND child = children[i];
    const std::string where = "control " + std::to_string(i) + " (" + narrow(want.text) + ")";
    expect_text(upper(class_of(child)), want.class_name, where + " class");
    expect_text(text_of(child), want.text, where + " text");
    expect_eq(GetDlgCtrlID(child), want.id, where + " ID");
    RECT box{};
    GetWindowRect(child, &box);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&box), 2);
    expect_eq(box.left, static_cast<LONG>(want.x), where + " x");
    expect_eq(box.top, static_cast<LONG>(want.y), where + " y");
    expect_eq(box.right - box.left, static_cast<LONG>(want.width), where + " width");
    expect_eq(box.bottom - box.top, static_cast<LONG>(want.height), where + " height");
    expect_eq(hex(static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE))), hex(want.style),
              where + " style");
    expect_eq(hex(static_cast<DWORD>(GetWindowLongW(child, GWL_EXSTYLE))), hex(want.ex_style),
              where + " ex-style");
    expect(send(child, WM_GETFONT, 0, 0) == 0, where + " keeps the system font");
  }
}

void check_manifest(const std::wstring& program) {
  const HMODULE image = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!expect(image != nullptr, "program file loads as data")) return;
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  std::string manifest;
  if (expect(found != nullptr, "manifest resource 1 present")) {
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    manifest.assign(bytes, SizeofResource(image, found));
  }
  expect(manifest.find("level=\"asInvoker\"") != std::string::npos, "manifest asks asInvoker");
  expect(manifest.find("uiAccess=\"false\"") != std::string::npos, "manifest without UI access");
  expect(manifest.find("Common-Controls") == std::string::npos,
         "manifest has no common-controls dependency");
  FreeLibrary(image);
}

void check_fresh_modulate(HWND main, DWORD thread_id) {
  expect_text(text_of(item(main, 1003)), L"", "output box at start");
  click(main, 1002);
  expect_text(text_of(item(main, 1003)), L"No modulation selected.", "Modulate with nothing ticked");
  expect(find_message_box(thread_id) == nullptr, "no message box for an empty selection");
}

void check_toggling(HWND main) {
  struct Case {
    int id;
    int clicks;
    bool ticked;
  };
  const Case cases[] = {{201, 1, true}, {201, 2, false}, {201, 3, true}, {222, 2, false},
                        {222, 3, true}, {208, 1, true},  {301, 2, false}, {301, 3, true}};
  for (const Case& c : cases) {
    reset_form(main);
    for (int i = 0; i < c.clicks; ++i) click(main, c.id);
    expect_eq(is_checked(main, c.id), c.ticked,
              "ID " + std::to_string(c.id) + " after " + std::to_string(c.clicks) + " clicks");
  }
  // A click toggles only its own box.
  reset_form(main);
  click(main, 205);
  int ticked = 0;
  for (int id = 201; id <= 222; ++id) ticked += is_checked(main, id) ? 1 : 0;
  expect(is_checked(main, 205) && ticked == 1 && !is_checked(main, 301),
         "one click ticks one checkbox");

  // The window procedure's routing, as WM_COMMAND with a click code.
  reset_form(main);
  command(main, 201, BN_CLICKED, item(main, 201));
  command(main, 222, BN_CLICKED, item(main, 222));
  command(main, 301, BN_CLICKED, item(main, 301));
  expect(is_checked(main, 201) && is_checked(main, 222) && is_checked(main, 301),
         "commands 201, 222 and 301 toggle their checkboxes");
}

void check_ignored_commands(HWND main) {
  struct Case {
    const char* what;
    int id;
    WORD code;
    int from;  // control in the long parameter, 0 for none
  };
  const Case cases[] = {
      {"ID 200", 200, 0, 0},
      {"ID 223", 223, 0, 0},
      {"ID 200 from the first checkbox", 200, 0, 201},
      {"ID 1003 (output box)", 1003, 0, 1003},
      {"edit change from a box", 1001, EN_CHANGE, 1001},
      {"non-click code from a checkbox", 201, BN_DOUBLECLICKED, 201},
      {"non-click code from Modulate", 1002, EN_CHANGE, 1002},
      {"non-click code from Save Settings", 301, 1, 301},
  };
  for (const Case& c : cases) {
    reset_form(main);
    set_text(item(main, 1003), L"untouched");
    const std::vector<std::wstring> before = form_state(main);
    command(main, c.id, c.code, c.from == 0 ? nullptr : item(main, c.from));
    expect(form_state(main) == before, std::string(c.what) + " changes nothing");
  }
  // Typing into a box raises real edit notifications; they too change nothing else.
  reset_form(main);
  set_text(item(main, 1003), L"untouched");
  set_text(item(main, 1012), L"20000");
  expect_text(text_of(item(main, 1003)), L"untouched", "typing leaves the output box alone");
  expect(!is_checked(main, 201), "typing ticks nothing");
}

// Presses Modulate expecting the "Input Error" box with `message`; closes it with its button.
void expect_input_error(HWND main, DWORD thread_id, const std::wstring& message,
                        const std::string& what) {
  PostMessageW(item(main, 1002), BM_CLICK, 0, 0);  // a modal box would hold a sent click
  HWND box = nullptr;
  if (!expect(wait_for([&] { return (box = find_message_box(thread_id)) != nullptr; }),
              what + ": message box shown"))
    return;
  wchar_t caption[64] = {};
  GetWindowTextW(box, caption, static_cast<int>(std::size(caption)));
  expect_text(caption, L"Input Error", what + ": caption");
  expect(GetWindow(box, GW_OWNER) == main, what + ": owned by the main window");
  expect_text(text_of(GetDlgItem(box, 0xFFFF)), message, what + ": message");
  std::vector<HWND> buttons;
  bool icon = false;
  for (HWND child : children_in_order(box)) {
    if (!IsWindowVisible(child)) continue;
    const auto style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    if (upper(class_of(child)) == L"BUTTON") buttons.push_back(child);
    // Some systems keep the icon control in every box and leave it empty when none is asked.
    if (upper(class_of(child)) == L"STATIC" && (style & SS_TYPEMASK) == SS_ICON &&
        send(child, STM_GETICON, 0, 0) != 0)
      icon = true;
  }
  expect(!icon, what + ": no icon");
  if (expect_eq(buttons.size(), std::size_t{1}, what + ": button count")) {
    expect_text(text_of(buttons[0]), L"OK", what + ": button text");
    expect_eq(GetDlgCtrlID(buttons[0]), IDOK, what + ": button ID");
    send(buttons[0], BM_CLICK, 0, 0);
  } else {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  expect(wait_for([&] { return !IsWindow(box); }), what + ": message box closed");
  send(main, WM_NULL, 0, 0);  // answered once the click handling has returned
}

void check_input_errors(HWND main, DWORD thread_id) {
  const std::wstring folder = fresh_folder(L"refused");
  for (const BoxMessage& box : box_messages) {
    reset_form(main);
    set_text(item(main, 1021), folder);
    click(main, 201);
    set_text(item(main, 1003), L"kept");
    set_text(item(main, box.id), L"x");
    expect_input_error(main, thread_id, box.message, "box " + std::to_string(box.id));
    expect_text(text_of(item(main, 1003)), L"kept", "output after " + narrow(box.message));
    expect_text(text_of(item(main, box.id)), L"x", "box keeps the typed text");
  }
  // Only the first bad box in the command's order is reported.
  reset_form(main);
  set_text(item(main, 1021), folder);
  click(main, 201);
  set_text(item(main, 1010), L"");
  set_text(item(main, 1019), L"q");
  expect_input_error(main, thread_id, L"Invalid Symbol Rate Min.", "two bad boxes");
  expect(folder_is_empty(folder), "refused attempts write no file");
}

struct RunSetup {
  std::vector<int> ticked;
  std::vector<std::pair<int, std::wstring>> boxes;
};

void start_run(HWND main, const std::wstring& folder, const RunSetup& setup) {
  reset_form(main);
  set_text(item(main, 1021), folder);
  for (const auto& [id, text] : setup.boxes) set_text(item(main, id), text);
  for (const int id : setup.ticked) click(main, id);
  click(main, 1002);  // sent: returns when the run is over
}

// Analog signals of amplitude 0 at carrier 0 are exact zeros, and zero power draws no noise, so
// every byte of these files is known in advance.
void check_exact_run(HWND main, DWORD thread_id) {
  const std::wstring folder = fresh_folder(L"exact");
  start_run(main, folder,
            {{201, 203, 301},
             {{1013, L"2"}, {1001, L"4"}, {1022, L"0"}, {1023, L"0"}, {1024, L"0"},
              {1025, L"0"}, {1019, L"10"}, {1020, L"10"}}});
  expect(find_message_box(thread_id) == nullptr, "valid run shows no message box");

  std::wstring report;
  for (const wchar_t* name : {L"AM", L"FM"})
    for (const wchar_t* index : {L"1", L"2"}) {
      const std::wstring stem = folder + L"\\" + name + L"_signal_" + index;
      report += std::wstring(name) + L": Saved to " + stem + L".csv\r\n";
      report += L"  Settings saved to " + stem + L".txt\r\n";
    }
  expect_text(text_of(item(main, 1003)), report, "report of the exact run");

  const std::regex message_line(R"(Message Frequency: (\d+\.\d{6}) Hz)");
  for (const wchar_t* name_text : {L"AM", L"FM"})
    for (const wchar_t* index_text : {L"1", L"2"}) {
      const std::wstring name = name_text;
      const std::wstring index = index_text;
      const std::wstring stem = folder + L"\\" + name + L"_signal_" + index;
      const std::string file = narrow(name) + " file " + narrow(index);
      bool exists = false;
      const std::string samples = read_file(stem + L".csv", &exists);
      expect(exists, file + " written");
      expect_eq(samples, std::string("0,0\r\n0,0\r\n0,0\r\n0,0\r\n"), file + " bytes");

      const std::string settings = read_file(stem + L".txt", &exists);
      expect(exists, file + " settings written");
      std::string want = "Amplitude: 0.000000\r\nCarrier Frequency: 0.000000 Hz\r\n";
      if (name == L"FM") want += "Frequency Deviation: 0.000000 Hz\r\n";
      const std::size_t message_at = settings.find("Message Frequency: ");
      const std::size_t message_end = settings.find("\r\n", message_at);
      std::smatch match;
      const std::string message = message_at == std::string::npos || message_end == std::string::npos
                                      ? std::string()
                                      : settings.substr(message_at, message_end - message_at);
      if (expect(std::regex_match(message, match, message_line), file + " message frequency")) {
        const double frequency = std::strtod(match[1].str().c_str(), nullptr);
        expect(frequency >= 10.0 && frequency <= 20000.0, file + " message frequency in range");
      }
      want += message + "\r\nMixed Frequency: 0.000000 Hz\r\nModulation Type: " + narrow(name) +
              "\r\nNumber of Samples: 4\r\nSNR: 10.000000 dB\r\nSample Rate: 10000.000000 Hz\r\n";
      expect_eq(settings, want, file + " settings bytes");
    }
}

// Defaults with real noise: an analog and a digital name, two files each, no settings files.
void check_mixed_run(HWND main) {
  const std::wstring folder = fresh_folder(L"mixed");
  start_run(main, folder, {{205, 201}, {{1013, L"2"}, {1001, L"100"}}});
  std::wstring report;
  for (const wchar_t* name : {L"AM", L"QPSK"})
    for (const wchar_t* index : {L"1", L"2"})
      report += std::wstring(name) + L": Saved to " + folder + L"\\" + name + L"_signal_" + index +
                L".csv\r\n";
  expect_text(text_of(item(main, 1003)), report, "report in checkbox order, not click order");
  for (const wchar_t* name_text : {L"AM", L"QPSK"})
    for (const wchar_t* index_text : {L"1", L"2"}) {
      const std::wstring name = name_text;
      const std::wstring index = index_text;
      const std::wstring stem = folder + L"\\" + name + L"_signal_" + index;
      const std::string file = narrow(name) + " file " + narrow(index);
      bool exists = false;
      const std::string samples = read_file(stem + L".csv", &exists);
      std::size_t lines = 0;
      expect(exists && is_sample_file(samples, &lines), file + " holds I,Q lines with CR LF");
      if (name == L"AM") expect_eq(lines, std::size_t{100}, file + " sample count");
      else expect(lines > 0, file + " is not empty");
      read_file(stem + L".txt", &exists);
      expect(!exists, file + " has no settings file");
    }
}

// A box keeps at most 255 characters for the command: the 256th, a letter, is never read.
void check_long_box(HWND main, DWORD thread_id) {
  const std::wstring folder = fresh_folder(L"long");
  start_run(main, folder, {{201}, {{1001, std::wstring(254, L' ') + L"5x"}}});
  expect(find_message_box(thread_id) == nullptr, "256-character box is cut, not refused");
  expect_text(text_of(item(main, 1003)),
              L"AM: Saved to " + folder + L"\\AM_signal_1.csv\r\n", "report of the cut box");
  bool exists = false;
  std::size_t lines = 0;
  const std::string samples = read_file(folder + L"\\AM_signal_1.csv", &exists);
  expect(exists && is_sample_file(samples, &lines) && lines == 5, "cut box reads as 5 symbols");
}

void check_close(HWND main, HANDLE process) {
  PostMessageW(main, WM_CLOSE, 0, 0);
  expect(WaitForSingleObject(process, 60000) == WAIT_OBJECT_0, "program ends after closing");
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  expect_eq(code, DWORD{0}, "exit code");
}

int run_checks(const std::wstring& program) {
  std::wstring command_line = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!expect(CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &started) != 0,
              "program starts"))
    return finish();
  // The window can be found while WM_CREATE is still building the form: wait until the
  // program idles in its message loop with the window shown.
  WaitForInputIdle(started.hProcess, 60000);
  const HWND main = find_main_window(started.dwProcessId);
  if (main != nullptr) wait_for([&] { return IsWindowVisible(main) != FALSE; });
  if (expect(main != nullptr, "main window found by class")) {
    check_main_window(main);
    check_controls(main);
    check_manifest(program);
    check_fresh_modulate(main, started.dwThreadId);
    check_toggling(main);
    check_ignored_commands(main);
    check_input_errors(main, started.dwThreadId);
    check_exact_run(main, started.dwThreadId);
    check_mixed_run(main);
    check_long_box(main, started.dwThreadId);
    check_close(main, started.hProcess);
  } else {
    TerminateProcess(started.hProcess, 1);
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return finish();
}

int locate(int id) {
  const HWND main = find_main_window(0);
  const HWND control = main == nullptr ? nullptr : item(main, id);
  if (control == nullptr) {
    std::fprintf(stderr, "control %d not found\n", id);
    return 1;
  }
  RECT box{};
  GetWindowRect(control, &box);
  std::printf("%ld %ld\n", (box.left + box.right) / 2, (box.top + box.bottom) / 2);
  return 0;
}

int focus_is(int id) {
  const HWND main = find_main_window(0);
  if (!expect(main != nullptr, "main window found by class")) return finish();
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info);
  expect_eq(info.hwndFocus == nullptr ? -1 : GetDlgCtrlID(info.hwndFocus), id, "focused control");
  return finish();
}

// The script ticked "AM" and typed 2 into "Files/Modulation:" with real input events, then
// clicked "Modulate"; the program runs in the current folder, so "." is this folder.
int after_clicks() {
  const HWND main = find_main_window(0);
  if (!expect(main != nullptr, "main window found by class")) return finish();
  const std::wstring report = L"AM: Saved to .\\AM_signal_1.csv\r\nAM: Saved to .\\AM_signal_2.csv\r\n";
  expect(wait_for([&] { return text_of(item(main, 1003)) == report; }),
         "report after real clicks: \"" + narrow(text_of(item(main, 1003))) + "\"");
  expect(is_checked(main, 201), "AM ticked by a real click");
  expect_text(text_of(item(main, 1013)), L"2", "Files/Modulation typed");
  for (const wchar_t* index : {L"1", L"2"}) {
    bool exists = false;
    std::size_t lines = 0;
    const std::string samples = read_file(std::wstring(L"AM_signal_") + index + L".csv", &exists);
    expect(exists && is_sample_file(samples, &lines) && lines == 1000,
           "AM file " + narrow(index) + " of 1000 samples");
  }
  return finish();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "check" && argc == 3) {
    // A Unix path names the same file on Wine's drive of the current folder once its
    // separators are Windows ones.
    std::wstring program;
    for (const char* c = argv[2]; *c != '\0'; ++c) program.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    return run_checks(program);
  }
  if (mode == "locate" && argc == 3) return locate(std::atoi(argv[2]));
  if (mode == "focus-is" && argc == 3) return focus_is(std::atoi(argv[2]));
  if (mode == "after-clicks" && argc == 2) return after_clicks();
  std::fprintf(stderr,
               "usage: window_driver check <quorvin.exe> | locate <id> | focus-is <id> | "
               "after-clicks\n");
  return 2;
}
