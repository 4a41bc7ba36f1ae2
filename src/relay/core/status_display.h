#pragma once

// What the window shows: "Serving:" and the number of streaming sessions.
class StatusDisplay {
 public:
  virtual ~StatusDisplay() = default;
  virtual void ShowServingCount(int count) = 0;
};
