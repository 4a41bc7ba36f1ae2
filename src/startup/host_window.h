#pragma once

#include <functional>
#include <memory>

#include "asio/io_context.hpp"
#include "relay/core/status_display.h"

// The program's window: shows "Serving:" and the number of streaming clients, and tells when
// the user closes it. It may exist without being visible.
class HostWindow : public StatusDisplay {
 public:
  static std::unique_ptr<HostWindow> Create(asio::io_context& io, bool visible);
  // onClose runs on the relay's thread, once, when the user closes the window.
  virtual void OnClose(std::function<void()> onClose) = 0;
  virtual void Unload() = 0;
};
