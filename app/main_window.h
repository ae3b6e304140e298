#pragma once
// The main window: its class, its window procedure and the program's entry point (WinMain,
// declared by <windows.h>).

#include <windows.h>

namespace quorvin {

inline constexpr wchar_t main_window_class_name[] = L"QuorvinClass";

// Routes creation, commands, the run's progress and end, and destruction to the form;
// everything else to DefWindowProcW.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace quorvin
