// The Windows front-end of the server: the hidden main window and its message loop.
#include "server/shell/win32_shell.h"

#include <windows.h>

#include <exception>

#include "common/log/server_log.h"
#include "common/platform/clock.h"
#include "common/platform/win_text.h"
#include "server/shell/post_and_wait.h"

namespace {
// Timer ids are the periods in milliseconds.
enum : UINT_PTR { kBaseTimer = 10, kScanTimer = 200, kCountTimer = 500, kSecondTimer = 1000 };
constexpr UINT kMsgTasks = WM_APP + 1;  // wParam 1: also run the base tick now

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* shell = reinterpret_cast<TWin32Shell*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  intptr_t result = 0;
  if (shell && shell->Handle(msg, wp, result)) return result;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool RegisterMainClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    const std::wstring name = WideText(kMainWindowClass);
    wc.lpszClassName = name.c_str();
    return RegisterClassExW(&wc) != 0;
  }();
  return registered;
}
}  // namespace

TWin32Shell::TWin32Shell() : mainId_(std::this_thread::get_id()) {
  if (!RegisterMainClass()) return;
  // A top-level window (not message-only), so that FindWindow of other programs finds it.
  hwnd_ = CreateWindowExW(0, WideText(kMainWindowClass).c_str(), WideText(kMainWindowCaption).c_str(),
                          WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 400, 300, nullptr, nullptr,
                          GetModuleHandleW(nullptr), this);
}

TWin32Shell::~TWin32Shell() {
  if (hwnd_) DestroyWindow(static_cast<HWND>(hwnd_));
}

void TWin32Shell::Guarded(const std::function<void()>& f) {
  // No exception leaves a handler (nor the window procedure): it takes the window's
  // exception path instead.
  try {
    f();
  } catch (const std::exception& e) {
    if (window_) window_->OnException(e.what());
  } catch (...) {
    if (window_) window_->OnException("unknown exception");
  }
}

void TWin32Shell::RunPosted() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  for (auto& t : batch) t();
}

bool TWin32Shell::Handle(unsigned msg, uintptr_t wp, intptr_t& result) {
  result = 0;
  if (!window_) return false;
  TMainWindow& w = *window_;
  switch (msg) {
    case WM_TIMER:
      switch (wp) {
        case kBaseTimer: Guarded([&] { w.BaseTick(SteadyMs()); }); return true;
        case kScanTimer: Guarded([&] { w.ScanTick(); }); return true;
        case kCountTimer: Guarded([&] { w.ClientCountTick(); }); return true;
        case kSecondTimer: Guarded([&] { w.SecondTick(); }); return true;
      }
      return false;
    case kMsgTasks:
      Guarded([&] { RunPosted(); });
      if (wp == 1) Guarded([&] { w.BaseTick(SteadyMs()); });
      return true;
    case kMsgCloseServer:
      Guarded([&] { w.RequestClose(2); });
      return true;
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
      // The system's close and the session's end ask like message 1034; the window's
      // rules decide, and Quit ends the loop.
      Guarded([&] { w.RequestClose(2); });
      result = msg == WM_QUERYENDSESSION ? TRUE : 0;
      return true;
  }
  return false;
}

void TWin32Shell::Run(TMainWindow& w) {
  window_ = &w;
  HWND hwnd = static_cast<HWND>(hwnd_);
  if (!hwnd) return;
  SetTimer(hwnd, kBaseTimer, kBaseTimer, nullptr);
  SetTimer(hwnd, kScanTimer, kScanTimer, nullptr);
  SetTimer(hwnd, kCountTimer, kCountTimer, nullptr);
  if (secondTimer_) SetTimer(hwnd, kSecondTimer, kSecondTimer, nullptr);
  MSG m;
  while (!quit_ && GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  for (UINT_PTR id : {kBaseTimer, kScanTimer, kCountTimer, kSecondTimer}) KillTimer(hwnd, id);
  RunPosted();  // nobody waits forever on a task posted before the end
  window_ = nullptr;
}

void TWin32Shell::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  PostMessageW(static_cast<HWND>(hwnd_), kMsgTasks, 0, 0);
}

void TWin32Shell::RunOnMainAndWait(const std::function<void()>& task) {
  if (std::this_thread::get_id() == mainId_) {
    task();
    return;
  }
  PostAndWait([this](std::function<void()> t) { Post(std::move(t)); }, task);
}

void TWin32Shell::RequestBaseTick() { PostMessageW(static_cast<HWND>(hwnd_), kMsgTasks, 1, 0); }

void TWin32Shell::EnableSecondTimer(bool on) {
  if (on == secondTimer_) return;
  secondTimer_ = on;
  if (!window_ || !hwnd_) return;  // Run starts it
  // SetTimer again restarts the period, as a timer that is enabled starts anew.
  if (on)
    SetTimer(static_cast<HWND>(hwnd_), kSecondTimer, kSecondTimer, nullptr);
  else
    KillTimer(static_cast<HWND>(hwnd_), kSecondTimer);
}

void TWin32Shell::Quit() {
  quit_ = true;
  PostMessageW(static_cast<HWND>(hwnd_), WM_NULL, 0, 0);  // GetMessage returns, the loop sees quit_
}

void TWin32Shell::SetMessageLabel(const std::string& text) { LogSys(text); }
void TWin32Shell::SetStatusText(const std::string& text) { LogSys(text); }
void TWin32Shell::SetClientLabel(bool ua, const std::string& text) {
  if (lastLabel_[ua] == text) return;
  lastLabel_[ua] = text;
  LogSys(text);
}
