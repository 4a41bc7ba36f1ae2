#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "asio/signal_set.hpp"
#include "startup/host_window.h"

namespace {

// A status line on the terminal stands in for the window; SIGINT, SIGTERM and SIGHUP close it.
class TerminalWindow final : public HostWindow {
 public:
  TerminalWindow(asio::io_context& io, bool visible)
      : Signals(io, SIGINT, SIGTERM, SIGHUP), Visible(visible), OnTerminal(isatty(STDOUT_FILENO)) {}

  void ShowServingCount(int count) override {
    if (!Visible || count == Shown) return;
    Shown = count;
    // On a terminal the line is rewritten in place; elsewhere each change is a line of its own.
    std::printf(OnTerminal ? "\rServing: %d   " : "Serving: %d\n", count);
    std::fflush(stdout);
  }

  void OnClose(std::function<void()> onClose) override {
    Signals.async_wait([onClose = std::move(onClose)](const std::error_code& error, int) {
      if (!error) onClose();
    });
  }

  void Unload() override {
    std::error_code ignored;
    Signals.cancel(ignored);
    if (Visible && OnTerminal && Shown >= 0) std::printf("\n");
  }

 private:
  asio::signal_set Signals;
  bool Visible;
  bool OnTerminal;
  int Shown = -1;
};

}  // namespace

std::unique_ptr<HostWindow> HostWindow::Create(asio::io_context& io, bool visible) {
  return std::make_unique<TerminalWindow>(io, visible);
}
