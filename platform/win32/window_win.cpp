#include <windows.h>

#include <string>

#include "platform/window.h"

// windows.h maps these names to their wide variants; the service's own functions keep theirs.
#undef GetMessage
#undef PeekMessage

namespace vexo::platform {
namespace {

HWND ToHwnd(WindowHandle window) {
  return static_cast<HWND>(window);
}

// "ATL:" and the class description's address in upper-case hex digits, one class per description.
std::wstring ClassName(const void* classKey) {
  constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  auto address = reinterpret_cast<uintptr_t>(classKey);
  std::wstring name = L"ATL:";
  for (int shift = sizeof(uintptr_t) * 8 - 4; shift >= 0; shift -= 4)
    name += kDigits[(address >> shift) & 0xF];
  return name;
}

// Only a timer without a callback arrives as a message; with one, lParam holds the callback.
bool IsWindowTimer(const MSG& msg) {
  return msg.message == WM_TIMER && msg.hwnd != nullptr && msg.lParam == 0;
}

WindowProcedure* ProcedureOf(HWND hwnd) {
  return reinterpret_cast<WindowProcedure*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

// Hands every message from the window's creation to its destruction to the procedure given at
// creation. Messages before WM_NCCREATE (WM_GETMINMAXINFO) and after WM_DESTROY get the default
// handling, so the procedure never sees its window before or after its life. A creation refused
// by WM_CREATE ends with WM_NCDESTROY alone; the procedure is then told of the destruction there,
// so every window it saw created ends with exactly one destruction message, as on other platforms.
LRESULT CALLBACK RouteMessage(HWND hwnd, UINT id, WPARAM wParam, LPARAM lParam) {
  if (id == WM_NCCREATE) {
    auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  WindowProcedure* procedure = ProcedureOf(hwnd);
  if (procedure == nullptr)
    return DefWindowProcW(hwnd, id, wParam, lParam);
  if (id == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    procedure->WindowProc(Message{hwnd, WM_DESTROY, 0, 0});
    return DefWindowProcW(hwnd, id, wParam, lParam);
  }
  if (id == WM_TIMER && lParam == 0)
    ::KillTimer(hwnd, wParam);  // one-shot, also when a nested loop (a message box) delivers it
  LRESULT result = procedure->WindowProc(Message{hwnd, id, wParam, lParam});
  if (id == WM_DESTROY)
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  return result;
}

HICON LoadClassIcon(HINSTANCE instance, uint16_t resource, int widthMetric, int heightMetric) {
  if (resource == 0)
    return nullptr;
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(resource), IMAGE_ICON,
                                       GetSystemMetrics(widthMetric),
                                       GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// Registers the class on first use; later windows of the same description reuse it.
bool EnsureClassRegistered(HINSTANCE instance, const std::wstring& name, uint16_t iconResource) {
  WNDCLASSEXW info = {};
  info.cbSize = sizeof info;
  if (GetClassInfoExW(instance, name.c_str(), &info))
    return true;
  info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  info.lpfnWndProc = RouteMessage;
  info.hInstance = instance;
  info.hIcon = LoadClassIcon(instance, iconResource, SM_CXICON, SM_CYICON);
  info.hIconSm = LoadClassIcon(instance, iconResource, SM_CXSMICON, SM_CYSMICON);
  info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  info.lpszClassName = name.c_str();
  return RegisterClassExW(&info) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

WindowHandle CreateTopLevelWindow(const WindowCreateParams& params, WindowProcedure* procedure) {
  if (procedure == nullptr)
    return nullptr;
  // Without an instance the class and its icons belong to the program itself.
  auto instance = static_cast<HINSTANCE>(params.instance);
  if (instance == nullptr)
    instance = GetModuleHandleW(nullptr);
  std::wstring className = ClassName(params.classKey);
  if (!EnsureClassRegistered(instance, className, params.iconResource))
    return nullptr;
  return CreateWindowExW(params.exStyle, className.c_str(), L"", params.style, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                         procedure);
}

void HideWindow(WindowHandle window) {
  ShowWindow(ToHwnd(window), SW_HIDE);
}

bool DestroyWindow(WindowHandle window) {
  return ::DestroyWindow(ToHwnd(window)) != 0;
}

uint32_t GetWindowStyle(WindowHandle window) {
  return static_cast<uint32_t>(GetWindowLongPtrW(ToHwnd(window), GWL_STYLE));
}

intptr_t DefaultWindowProc(const Message& message) {
  return DefWindowProcW(ToHwnd(message.window), message.id, message.wParam, message.lParam);
}

bool SetTimer(WindowHandle window, uintptr_t id, uint32_t delayMs) {
  return ::SetTimer(ToHwnd(window), id, delayMs, nullptr) != 0;
}

bool KillTimer(WindowHandle window, uintptr_t id) {
  return ::KillTimer(ToHwnd(window), id) != 0;
}

void PostQuitMessage(int exitCode) {
  ::PostQuitMessage(exitCode);
}

bool PeekMessage() {
  MSG msg;
  return PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != 0;
}

int GetMessage(Message& message) {
  MSG msg = {};
  BOOL got = GetMessageW(&msg, nullptr, 0, 0);
  if (got == -1)
    return -1;
  // Windows timers repeat; the service's timers fire once, so a timer ends when it is taken.
  if (got != 0 && IsWindowTimer(msg))
    ::KillTimer(msg.hwnd, msg.wParam);
  message = Message{msg.hwnd, msg.message, msg.wParam, msg.lParam};
  return got != 0 ? 1 : 0;
}

void TranslateAndDispatch(const Message& message) {
  MSG msg = {};
  msg.hwnd = ToHwnd(message.window);
  msg.message = message.id;
  msg.wParam = message.wParam;
  msg.lParam = message.lParam;
  msg.time = static_cast<DWORD>(GetMessageTime());
  DWORD position = GetMessagePos();
  msg.pt = POINT{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

}  // namespace vexo::platform
