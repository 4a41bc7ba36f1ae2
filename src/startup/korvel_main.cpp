#include "startup/korvel_main.h"

#include <chrono>
#include <cstdlib>
#include <random>
#include <system_error>
#include <utility>

#include "asio/io_context.hpp"
#include "asio/ip/address.hpp"
#include "common/process_stats.h"
#include "log/logger.h"
#include "relay/backend/asio_datagram_socket.h"
#include "relay/backend/asio_session_sockets.h"
#include "relay/backend/keep_alive_timer.h"
#include "relay/core/form1.h"
#include "relay/metrics/metrics_exposition.h"
#include "relay/metrics/metrics_listener.h"
#include "relay/replay/journal_segments.h"
#include "service/idle_service_bridge.h"
#include "service/inherited_sockets.h"
#include "startup/command_line.h"
#include "startup/host_process.h"
#include "startup/host_window.h"
#include "startup/korvel_log.h"

namespace {

// A client that stops reading is cut off once this much waits for it.
constexpr std::size_t SendLimitBytes = 8 * 1024 * 1024;
// How long a stop waits for clients to take what is queued for them: a reading client on a LAN
// takes the most that may wait for it well within it, and one that does not read holds a stop
// or a restart up by no more than this.
constexpr auto StopDrainLimit = std::chrono::seconds(1);

struct StartupFailure {
  std::string step;
  std::error_code code;
};

template <class Action>
void StartupStep(const std::string& step, Action&& action) {
  try {
    action();
  } catch (const std::system_error& failure) {
    throw StartupFailure{step, failure.code()};
  }
}

// The journal's folder: the one the command line names, else the state folder a service manager
// gives (systemd's StateDirectory=; the first, when it gives several). None without the ring.
std::string JournalFolder(const StartupOptions& options) {
  const Settings& settings = options.settings;
  if (options.NoJournal || !settings.BrowserAnswers || settings.ReplayEvents == 0) return {};
  if (!options.JournalFolder.empty()) return options.JournalFolder;
  const char* state = std::getenv("STATE_DIRECTORY");
  const std::string folders = state ? state : "";
  return folders.substr(0, folders.find(':'));
}

void ConfigureLogger(Logger& logger, const StartupOptions& options, const std::string& folder) {
  logger.SetDebugLevel(options.settings.DebugLevel);
  logger.SetUseLogDelay(false);
  logger.SetLogPath(folder + options.LogFileName);
  logger.SetLogSizeMB(options.LogSizeMB);
}

void Run(const StartupOptions& options, Logger& logger, const LocalClock& clock,
         ServiceBridge& service) {
  const Settings& settings = options.settings;
  const bool asService = options.RunAsService;
  StartupStep("cannot write the debug log " + logger.CurrentLogPath(), [&] {
    logger.LogDebug(10, asService ? "Executing as service" : "Executing as application");
  });
  // A service runs hidden, also when the manager did not start it and it serves all the same.
  if (asService && !service.ServiceStart()) ShowMessage("Unable to start service.");
  const bool visible = !asService;

  asio::io_context io(1);
  KorvelLog log(logger);
  EventDelivery delivery(log);
  AsioSessionSockets wSession(io, delivery, SendLimitBytes);
  AsioDatagramSocket wListen(io, delivery);
  KeepAliveTimer tmrKeepAlive(io, delivery);
  const std::unique_ptr<HostWindow> window = HostWindow::Create(io, visible);
  std::unique_ptr<MetricsListener> metrics;
  const std::string journalFolder = JournalFolder(options);
  const std::unique_ptr<JournalSegments> journal =
      journalFolder.empty() ? nullptr : std::make_unique<JournalSegments>(journalFolder);

  // A stop, or closing the window, ends the relay: it takes no more events or connections, lets
  // its clients take what is queued for them, closes every socket and ends the loop. A service
  // reports itself stopped only once its ports are closed, so that a manager that starts it again
  // at once finds them free.
  bool unloading = false;
  const auto unload = [&] {
    if (std::exchange(unloading, true)) return;
    tmrKeepAlive.Stop();
    wListen.Close();
    if (metrics) metrics->Close();
    wSession.CloseOnceSent(StopDrainLimit, [&] {
      service.ServiceStop();
      window->Unload();
      io.stop();
    });
  };
  Form1 form(settings, {wSession, wListen, log, clock, *window,
                        [&] { return service.ServiceStopRequested(); }, unload,
                        std::random_device{}(), journal.get()});

  // Ports the service manager holds are served as they are; the others are opened here.
  const InheritedSockets inherited = TakeInheritedSockets();
  StartupStep("cannot listen on the stream port " + std::to_string(settings.StreamPort), [&] {
    if (inherited.Stream) return wSession.Adopt(*inherited.Stream);
    wSession.Listen(static_cast<std::uint16_t>(settings.StreamPort), settings.Ipv4Only);
  });
  StartupStep("cannot bind the event port " + std::to_string(settings.EventPort), [&] {
    if (inherited.Events) return wListen.Adopt(*inherited.Events);
    wListen.Bind(static_cast<std::uint16_t>(settings.EventPort), settings.Ipv4Only);
  });
  if (settings.MetricsPort != 0) {
    metrics = std::make_unique<MetricsListener>(
        io, [&] { return ExpositionText(form.Sample(), ReadProcessStats()); });
    StartupStep("cannot listen on the metrics port " + std::to_string(settings.MetricsPort), [&] {
      metrics->Listen(asio::ip::make_address(settings.MetricsAddress),
                      static_cast<std::uint16_t>(settings.MetricsPort));
    });
  }

  // The journal's events before any new one: those that waited in a socket handed over follow.
  form.RestoreRecent(inherited.EventsIdentity);
  delivery.HandTo(form);
  wSession.Start();
  wListen.Start();
  if (metrics) metrics->Start();
  tmrKeepAlive.Start([&] { form.tmrKeepAlive_Timer(); });
  window->OnClose(unload);
  // Every port is open and its handler waits on the loop below: a client that connects from now
  // on is accepted at the loop's first turn.
  service.ServiceServing();
  // The one place where queued parts are written: after every handler, whatever its source, so
  // that what a handler sends waits no longer than the handler itself.
  while (io.run_one()) wSession.FlushPendingWrites();
}

}  // namespace

int KorvelMain(int argc, char** argv) {
  PrepareProcess();
  const StartupOptions options = ReadCommandLine(CommandLineText(argc, argv));
  if (!options.Problems.empty()) {
    std::string text = "The command line cannot be used:";
    for (const std::string& problem : options.Problems) text += "\n" + problem;
    ShowMessage(text);
    return 2;
  }
  const SystemClock clock;
  const std::string folder = LogFolder();
  // Declared before everything that logs so that it is released last and writes out what it
  // still holds.
  Logger logger(MakeHostFileTools(), clock, folder + ExecutableBaseName() + ".log");
  ConfigureLogger(logger, options, folder);
  const std::unique_ptr<ServiceBridge> service =
      options.RunAsService ? MakeHostServiceBridge() : std::make_unique<IdleServiceBridge>();
  try {
    Run(options, logger, clock, *service);
  } catch (const StartupFailure& failure) {
    ShowMessage(failure.step + ": error " + std::to_string(failure.code.value()) + ": " +
                failure.code.message());
    return 1;
  }
  return 0;
}
