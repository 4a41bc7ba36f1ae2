// The program's window: "Serving:" and the number of streaming clients. It runs its own message
// loop on a thread of its own, so the relay's thread never waits for it; the count reaches it as
// a posted message, and a close by the user goes back to the relay's thread as a posted handler.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "asio/post.hpp"
#include "startup/host_window.h"

namespace {

constexpr UINT ShowCountMessage = WM_APP + 1;
constexpr UINT UnloadMessage = WM_APP + 2;
constexpr char ClassName[] = "KorvelCaptureServerWindow";

class Win32Window final : public HostWindow {
 public:
  Win32Window(asio::io_context& io, bool visible) : Io(io) {
    std::mutex mutex;
    std::condition_variable created;
    bool ready = false;
    Thread = std::thread([&] {
      Create(visible);
      {
        const std::lock_guard lock(mutex);
        ready = true;
      }
      created.notify_one();
      MessageLoop();
    });
    std::unique_lock lock(mutex);
    created.wait(lock, [&] { return ready; });
  }

  ~Win32Window() override { Unload(); }

  void ShowServingCount(int count) override {
    PostMessageA(Window, ShowCountMessage, static_cast<WPARAM>(count), 0);
  }

  void OnClose(std::function<void()> onClose) override {
    const std::lock_guard lock(Mutex);
    CloseHandler = std::move(onClose);
  }

  void Unload() override {
    if (!Thread.joinable()) return;
    PostMessageA(Window, UnloadMessage, 0, 0);
    Thread.join();
  }

 private:
  void Create(bool visible) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &Win32Window::Procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = ClassName;
    RegisterClassA(&windowClass);
    Window = CreateWindowExA(0, ClassName, "KorvelCaptureServer",
                             WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                             CW_USEDEFAULT, CW_USEDEFAULT, 260, 100, nullptr, nullptr,
                             windowClass.hInstance, this);
    CreateWindowExA(0, "STATIC", "Serving:", WS_CHILD | WS_VISIBLE, 16, 16, 80, 20, Window,
                    nullptr, windowClass.hInstance, nullptr);
    Label2 = CreateWindowExA(0, "STATIC", "0", WS_CHILD | WS_VISIBLE, 100, 16, 120, 20, Window,
                             nullptr, windowClass.hInstance, nullptr);
    if (visible) ShowWindow(Window, SW_SHOWNORMAL);
  }

  static void MessageLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
      case ShowCountMessage:
        SetWindowTextA(self->Label2, std::to_string(static_cast<int>(wParam)).c_str());
        return 0;
      case WM_CLOSE:  // the relay decides; it unloads the window when it has closed everything
        self->ReportClose();
        return 0;
      case UnloadMessage:
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
  }

  void ReportClose() {
    const std::lock_guard lock(Mutex);
    if (CloseHandler) asio::post(Io, std::exchange(CloseHandler, nullptr));
  }

  asio::io_context& Io;
  std::thread Thread;
  HWND Window = nullptr;
  HWND Label2 = nullptr;
  std::mutex Mutex;
  std::function<void()> CloseHandler;  // runs once, on the relay's thread
};

}  // namespace

std::unique_ptr<HostWindow> HostWindow::Create(asio::io_context& io, bool visible) {
  return std::make_unique<Win32Window>(io, visible);
}
