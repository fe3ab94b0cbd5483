#include <windows.h>

namespace {
WindowMessageDispatcher g_dispatcher = nullptr;
}

WindowMessageDispatcher SetWindowMessageDispatcher(WindowMessageDispatcher dispatcher) {
  WindowMessageDispatcher old = g_dispatcher;
  g_dispatcher = dispatcher;
  return old;
}

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return g_dispatcher && hWnd ? g_dispatcher(hWnd, Msg, wParam, lParam) : 0;
}
