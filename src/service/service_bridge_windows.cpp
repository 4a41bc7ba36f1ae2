// The service bridge of the Windows program, over the service control manager's own API. The
// routines that the platform calls on its threads touch nothing but the status record, its
// handle, the service name and the three events.
#include <windows.h>

#include "service/service_bridge.h"

namespace {

char ServiceName[] = "NT Service Template";  // the service table points at it while it runs

HANDLE DispatcherThread = nullptr;
HANDLE StopEvent = nullptr;
HANDLE StartedEvent = nullptr;
HANDLE StopRequestEvent = nullptr;
SERVICE_STATUS ServiceStatus{};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;

// Sends the current record again when NewState is 0.
BOOL ReportServiceStatus(DWORD NewState) {
  if (NewState != 0) ServiceStatus.dwCurrentState = NewState;
  return SetServiceStatus(StatusHandle, &ServiceStatus);
}

void WINAPI ServiceHandler(DWORD Control) {
  if (Control == SERVICE_CONTROL_STOP || Control == SERVICE_CONTROL_SHUTDOWN) {
    ReportServiceStatus(SERVICE_STOP_PENDING);
    SetEvent(StopRequestEvent);
  } else {
    ReportServiceStatus(0);
  }
}

// Start parameters are ignored.
void WINAPI ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
  ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  ServiceStatus.dwWin32ExitCode = 0;
  ServiceStatus.dwServiceSpecificExitCode = 0;
  ServiceStatus.dwCheckPoint = 0;
  ServiceStatus.dwWaitHint = 0;
  StatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceHandler);
  ReportServiceStatus(SERVICE_START_PENDING);
  SetEvent(StartedEvent);
  WaitForSingleObject(StopEvent, INFINITE);
}

// Returns when the service has stopped, or at once when no service control manager started the
// process.
DWORD WINAPI DispatcherBody(LPVOID /*unused*/) {
  SERVICE_TABLE_ENTRYA table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table);
}

bool IsWindowsNT() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = 148;
  GetVersionExA(&version);
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

class WindowsServiceBridge final : public ServiceBridge {
 public:
  bool ServiceStart() override {
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StopRequestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!IsWindowsNT()) {
      for (HANDLE event : {StopEvent, StopRequestEvent, StartedEvent}) CloseHandle(event);
      return false;
    }
    DispatcherThread = CreateThread(nullptr, 0, DispatcherBody, nullptr, 0, nullptr);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    // The thread comes first: if both are signalled, the start counts as failed.
    const HANDLE waits[] = {DispatcherThread, StartedEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      ServiceRunning = true;
      ReportServiceStatus(SERVICE_RUNNING);
      return true;
    }
    ServiceRunning = false;
    CloseHandle(DispatcherThread);
    return false;
  }

  // Nothing to report: SERVICE_RUNNING went out in ServiceStart, before the ports open, the order
  // in which this service was designed to report to the service control manager.
  void ServiceServing() override {}

  bool ServiceStopRequested() override {
    return ServiceRunning && WaitForSingleObject(StopRequestEvent, 0) == WAIT_OBJECT_0;
  }

  bool ServiceStop() override {
    if (!ServiceIsRunning()) return false;
    ReportServiceStatus(SERVICE_STOPPED);
    SetEvent(StopEvent);
    WaitForSingleObject(DispatcherThread, INFINITE);
    for (HANDLE handle : {DispatcherThread, StopEvent, StartedEvent, StopRequestEvent}) {
      CloseHandle(handle);
    }
    ServiceRunning = false;
    return true;
  }

 private:
  bool ServiceIsRunning() const { return ServiceRunning; }

  bool ServiceRunning = false;
};

}  // namespace

std::unique_ptr<ServiceBridge> MakeHostServiceBridge() {
  return std::make_unique<WindowsServiceBridge>();
}
