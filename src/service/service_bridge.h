#pragma once

#include <functional>
#include <memory>
#include <mutex>

// The link between the relay and a service manager. All calls come from the relay's thread;
// ServiceStopRequested is polled every second and must not block.
class ServiceBridge {
 public:
  virtual ~ServiceBridge() = default;
  // Blocks until the manager has started the service (true) or the start failed (false).
  virtual bool ServiceStart() = 0;
  // Called once, when every port the relay opened is open and waits on its event loop, so that a
  // client connecting from now on is served; not called when start-up fails. ServiceStart
  // returns before the ports open: a bridge whose manager starts the services that depend on
  // this one as soon as it hears "running" reports running here instead.
  virtual void ServiceServing() = 0;
  virtual bool ServiceStopRequested() = 0;
  // True when it stopped a running bridge, false when there was nothing to stop.
  virtual bool ServiceStop() = 0;

  // Called, on the bridge's own thread, when a stop is requested, so that the relay need not
  // wait for its next poll: a restart's new process finds the ports free sooner. Where a bridge
  // never calls it, the poll alone notices the stop.
  void WakeOnStop(std::function<void()> wake) {
    {
      const std::lock_guard lock(WakeMutex);
      Wake = std::move(wake);
    }
    if (ServiceStopRequested()) StopArrived();
  }

 protected:
  void StopArrived() {
    const std::lock_guard lock(WakeMutex);
    if (Wake) Wake();
  }

 private:
  std::mutex WakeMutex;
  std::function<void()> Wake;
};

// The bridge to the service manager of the host the program runs on.
std::unique_ptr<ServiceBridge> MakeHostServiceBridge();
