// The service bridge under systemd. The notify protocol stands for the service control manager's
// status reports, and the signals the manager sends stand for its controls; they are taken on
// the dispatcher's own thread, never by a handler that could touch the relay.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "service/service_bridge.h"

namespace {

// Numbered as the service states and controls of the program's Windows build.
enum ServiceState : std::uint32_t { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };
enum Control : std::uint32_t { ControlStop = 1, ControlInterrogate = 4, ControlShutdown = 5 };

const std::string ServiceName = "NT Service Template";

// Manual-reset events: each is set once, never reset, and waited on from other threads.
class ServiceEvents {
 public:
  enum Event { Stop, Started, StopRequest, DispatcherEnded, Count };

  void Set(Event event) {
    {
      const std::lock_guard lock(Mutex);
      Flags[event] = true;
    }
    Changed.notify_all();
  }
  bool IsSet(Event event) {
    const std::lock_guard lock(Mutex);
    return Flags[event];
  }
  void Wait(Event event) { WaitFirst(event, event); }
  // Waits until either is set; when both are, first is the answer.
  Event WaitFirst(Event first, Event second) {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [&] { return Flags[first] || Flags[second]; });
    return Flags[first] ? first : second;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Flags[Count] = {};
};

// SIGTERM is the manager's stop (at system shutdown too); SIGINT, from a terminal, stops as well.
// SIGHUP stands for the controls the service does not act on: the status is sent again.
sigset_t ControlSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  return signals;
}

class SystemdServiceBridge final : public ServiceBridge {
 public:
  // A start-up failure after a successful start still reports the service stopped.
  ~SystemdServiceBridge() override { ServiceStop(); }

  bool ServiceStart() override {
    // Blocked before the dispatcher exists, which inherits the mask, so that only its signalfd
    // receives the controls.
    const sigset_t controls = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &controls, &FormerMask);
    DispatcherThread = std::thread([this] { DispatcherBody(); });
    if (Events.WaitFirst(ServiceEvents::DispatcherEnded, ServiceEvents::Started) ==
        ServiceEvents::Started) {
      ServiceRunning = true;  // but still starting for systemd, until ServiceServing
      return true;
    }
    ServiceRunning = false;
    DispatcherThread.join();
    // Without a manager, the signals end the program as they do an application.
    pthread_sigmask(SIG_SETMASK, &FormerMask, nullptr);
    return false;
  }

  // systemd starts the units ordered after this one at READY=1, so the relay must already
  // answer them: READY=1 waits for every port, not for the manager's start. A stop that came in
  // the meantime has been reported and stands; the relay stops at its first tick.
  void ServiceServing() override {
    const std::lock_guard lock(StatusMutex);
    if (!ServiceRunning || CurrentState != StartPending) return;
    CurrentState = Running;
    sd_notify(0, NotifyText(CurrentState).c_str());
  }

  bool ServiceStopRequested() override {
    return ServiceRunning && Events.IsSet(ServiceEvents::StopRequest);
  }

  bool ServiceStop() override {
    if (!ServiceIsRunning()) return false;
    ReportServiceStatus(Stopped);
    Events.Set(ServiceEvents::Stop);
    DispatcherThread.join();
    ServiceRunning = false;
    return true;
  }

 private:
  bool ServiceIsRunning() const { return ServiceRunning; }

  // Stands for the service control dispatcher: without a manager to connect to it returns at
  // once; otherwise it runs ServiceMain on a thread of its own and hands it the manager's
  // controls until it returns.
  void DispatcherBody() {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) {
      Events.Set(ServiceEvents::DispatcherEnded);
      return;
    }
    const sigset_t controls = ControlSignals();
    const int signals = signalfd(-1, &controls, SFD_CLOEXEC);
    const int mainReturned = eventfd(0, EFD_CLOEXEC);
    std::thread serviceThread([&] {
      ServiceMain();
      eventfd_write(mainReturned, 1);
    });
    pollfd waits[] = {{signals, POLLIN, 0}, {mainReturned, POLLIN, 0}};
    while (true) {
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (waits[1].revents != 0) break;
      signalfd_siginfo received{};
      if (read(signals, &received, sizeof received) != sizeof received) continue;
      const bool stop = received.ssi_signo == SIGTERM || received.ssi_signo == SIGINT;
      ServiceHandler(stop ? ControlStop : ControlInterrogate);
    }
    serviceThread.join();
    close(signals);
    close(mainReturned);
    Events.Set(ServiceEvents::DispatcherEnded);
  }

  void ServiceMain() {
    ReportServiceStatus(StartPending);
    Events.Set(ServiceEvents::Started);
    Events.Wait(ServiceEvents::Stop);
  }

  void ServiceHandler(std::uint32_t control) {
    if (control == ControlStop || control == ControlShutdown) {
      ReportServiceStatus(StopPending);
      Events.Set(ServiceEvents::StopRequest);
      StopArrived();
    } else {
      ReportServiceStatus(0);
    }
  }

  // Sends the current state again when newState is 0. Once stopped, nothing more: a stop control
  // that comes while the relay ends must not tell the manager it is stopping again.
  int ReportServiceStatus(std::uint32_t newState) {
    const std::lock_guard lock(StatusMutex);
    if (CurrentState == Stopped && HasReported) return 0;
    HasReported = true;
    if (newState != 0) CurrentState = newState;
    return sd_notify(0, NotifyText(CurrentState).c_str());
  }

  static std::string NotifyText(std::uint32_t state) {
    switch (state) {
      case StartPending: return "STATUS=Starting " + ServiceName;
      case Running: return "READY=1\nSTATUS=Running";
      case StopPending: return "STOPPING=1\nSTATUS=Stopping";
      default: return "STATUS=Stopped";
    }
  }

  ServiceEvents Events;
  std::thread DispatcherThread;
  bool ServiceRunning = false;  // read and written on the relay's thread only
  sigset_t FormerMask{};
  std::mutex StatusMutex;
  std::uint32_t CurrentState = Stopped;
  bool HasReported = false;
};

}  // namespace

std::unique_ptr<ServiceBridge> MakeHostServiceBridge() {
  return std::make_unique<SystemdServiceBridge>();
}
