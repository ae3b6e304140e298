#include "app/main_window.h"

#include "app/form_window.h"

#include <objbase.h>

#include <string>

namespace quorvin {

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      create_form(window);
      return 0;
    case WM_TIMER:
      if (wparam == run_progress_timer) show_run_progress();
      return 0;
    case WM_RUN_OVER:
      on_run_over(window);
      return 0;
    case WM_CLOSE:
      // Closing during a run ends the window now and the run after the file in hand. The stop
      // comes first: taking the window down can wait on the display (two seconds under Wine
      // without a window manager).
      stop_run();
      return DefWindowProcW(window, message, wparam, lparam);
    case WM_DESTROY:
      stop_run();
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND: {
      // Only clicks (notification code 0) act; edit-box changes and the like are dropped, and
      // so is every click while a message box is open (a run behind the box, boxes stacked).
      if (HIWORD(wparam) != 0 || message_box_open()) return 0;
      const int id = LOWORD(wparam);
      if (id == IDC_SAVE_SETTINGS_FILE) {
        on_checkbox_clicked(form_controls().save_settings_file);
      } else if (id >= IDC_MODULATION_BASE &&
                 id < IDC_MODULATION_BASE + static_cast<int>(modulation_checkbox_count)) {
        on_checkbox_clicked(reinterpret_cast<HWND>(lparam));
      } else if (id == IDC_MODULATE) {
        on_modulate_clicked(window);
      }
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace quorvin

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = 0;
  window_class.lpfnWndProc = quorvin::main_window_proc;
  window_class.hInstance = instance;
  // A system colour index plus one stands for that colour's brush.
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  window_class.lpszClassName = quorvin::main_window_class_name;
  RegisterClassExW(&window_class);  // a failure shows up as the window creation failing

  CoInitialize(nullptr);
  const HWND window = CreateWindowExW(0, quorvin::main_window_class_name, L"Quorvin",
                                      WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                                      CW_USEDEFAULT, 700, 900, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    CoUninitialize();
    return 0;
  }

  MSG message{};
  // GetMessageW returns -1 when it fails (a message from another process too large to take, say):
  // that message is lost, not the program. Only failures without end stop it, with a message
  // and an error status, rather than spinning.
  int failures_in_a_row = 0;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) break;  // WM_QUIT
    if (got == -1) {
      if (++failures_in_a_row < 100) continue;
      const std::wstring text = L"The program's message loop failed (error " + std::to_wstring(GetLastError()) + L").";
      quorvin::stop_run();
      MessageBoxW(nullptr, text.c_str(), L"Quorvin", MB_OK | MB_ICONERROR);
      quorvin::wait_for_run();
      CoUninitialize();
      return 1;
    }
    failures_in_a_row = 0;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // Ending the process would cut the file in hand short: a sample file without its settings file.
  quorvin::wait_for_run();
  CoUninitialize();
  return static_cast<int>(message.wParam);
}
