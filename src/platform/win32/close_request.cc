#include "platform/close_request.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/win32/close_request_win32.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {
namespace {

// The same news for a look without a system call: a walk looks once per directory entry.
std::atomic<bool> requested{false};
std::atomic<bool> ignore_logoff{false};

// How long the system's notification is held back so that the service can unwind before the
// system ends the process; main's return ends it sooner.
constexpr DWORD kUnwindGrace = 20000;

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RaiseCloseRequest();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
      if (ignore_logoff.load()) return TRUE;
      [[fallthrough]];
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: wait here for the unwinding to finish it first.
      RaiseCloseRequest();
      Sleep(kUnwindGrace);
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      // Not destroyed: the window stays until the process ends, so a repeated request is
      // answered the same way.
      RaiseCloseRequest();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) {
        // The session ends once this returns: hold it until the unwinding ends the process.
        RaiseCloseRequest();
        Sleep(kUnwindGrace);
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

// Creates the hidden window and pumps its messages for the rest of the process's life. Tells
// `created` whether the window exists.
void PumpHiddenWindow(std::promise<bool> created) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = HiddenWindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = kCloseRequestWindowClass;
  // Top-level, never shown: a message-only window hears nothing of the session's end.
  const HWND window = RegisterClassA(&window_class) == 0
                          ? nullptr
                          : CreateWindowExA(0, kCloseRequestWindowClass, "plotspool", WS_OVERLAPPED,
                                            0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  created.set_value(window != nullptr);
  if (window == nullptr) return;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

HANDLE CloseRequestEvent() {
  // Made on first use and kept for the process's life.
  static const UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return event.get();
}

void IgnoreLogoffForService() { ignore_logoff.store(true); }

void InstallCloseRequestSignals() {
  CloseRequestEvent();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  std::promise<bool> created;
  std::future<bool> window = created.get_future();
  // The pump runs until the process ends; nothing joins it.
  std::thread(PumpHiddenWindow, std::move(created)).detach();
  // Waited for, so that whoever looks for the window once the service runs finds it; a session
  // without a window station leaves the console and the service manager as the ways in.
  window.wait();
}

bool CloseRequestPending() { return requested.load(std::memory_order_relaxed); }

bool WaitForCloseRequest(std::chrono::milliseconds timeout) {
  if (CloseRequestPending()) return true;
  const HANDLE event = CloseRequestEvent();
  const auto count = timeout.count() < 0 ? 0 : timeout.count();
  if (event == nullptr) {
    Sleep(static_cast<DWORD>(count));
    return CloseRequestPending();
  }
  return WaitForSingleObject(event, static_cast<DWORD>(count)) == WAIT_OBJECT_0;
}

void RaiseCloseRequest() {
  requested.store(true, std::memory_order_relaxed);
  SetEvent(CloseRequestEvent());
}

}  // namespace plotspool::platform
