#pragma once

#include "service/service_bridge.h"

// The bridge of a process that no service manager started: it never connects, so a stop is
// never requested and there is nothing to stop.
class IdleServiceBridge final : public ServiceBridge {
 public:
  bool ServiceStart() override { return false; }
  void ServiceServing() override {}
  bool ServiceStopRequested() override { return false; }
  bool ServiceStop() override { return false; }
};
