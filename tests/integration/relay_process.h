#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback.h"

// A child process with its output in files; the destructor kills it by pid if it still runs.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> arguments, const std::filesystem::path& stdoutPath,
               const std::filesystem::path& stderrPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return ProcessId; }
  bool Ended() const { return HasEnded; }
  void Signal(int signalNumber) const;
  // The exit status (128 + signal when killed), or nullopt when it still runs after limit.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit);

 private:
  pid_t ProcessId = -1;
  bool HasEnded = false;
  std::optional<int> Status;
};

// The real KorvelCaptureServer, copied into a temporary folder of its own and started there on
// free loopback ports. The destructor ends the process by its pid and removes the folder.
class RelayProcess {
 public:
  // extraArguments come after the port options.
  explicit RelayProcess(const std::vector<std::string>& extraArguments = {"-d", "0"},
                        std::optional<std::uint16_t> streamPort = {},
                        std::optional<std::uint16_t> eventPort = {});
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  std::uint16_t StreamPort() const { return Stream; }
  std::uint16_t EventPort() const { return Events; }
  pid_t Pid() const { return Process->Pid(); }
  const std::filesystem::path& Folder() const { return Dir; }

  // True once the stream port accepts connections; false if the process ended first.
  bool WaitUntilListening();
  // Sends SIGTERM and waits; the exit status, or nullopt when it did not end in time.
  std::optional<int> Stop();
  // Waits for the process to end by itself; its exit status or nullopt.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit) {
    return Process->WaitForExit(limit);
  }

  std::string ReadFile(const std::string& name) const;
  std::string LogText() const { return ReadFile("Debug.log"); }
  // Waits until the log holds text at least count times.
  bool WaitForLog(const std::string& text, int count = 1,
                  std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  int CountInLog(const std::string& text) const;
  // Resident memory of the process in KiB (0 when unknown).
  long ResidentKiB() const;

 private:
  std::filesystem::path Dir;
  std::uint16_t Stream = 0;
  std::uint16_t Events = 0;
  std::unique_ptr<ChildProcess> Process;
};

// Polls condition every 10 ms until it holds or the limit passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

void SendDatagram(std::uint16_t port, const std::string& payload,
                  const std::string& fromAddress = "127.0.0.1");

// A blocking loopback TCP client with bounded waits.
class TestClient {
 public:
  // receiveBuffer shrinks the socket's receive buffer before connecting (0 keeps the default).
  explicit TestClient(std::uint16_t port, int receiveBuffer = 0);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connected() const { return Fd >= 0; }
  void Send(const std::string& data);
  // Reads until at least count bytes have arrived in all, the peer closes, or the limit passes.
  const std::string& ReadAtLeast(std::size_t count,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Reads until the received text holds text, the peer closes, or the limit passes.
  bool ReadUntil(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));
  // True when the peer has closed (read returned 0 or reset) within the limit.
  bool WaitForClose(std::chrono::milliseconds limit = std::chrono::seconds(5));
  const std::string& Received() const { return Data; }
  void Close();
  // Closes with a reset instead of an orderly shutdown.
  void Reset();

 private:
  // One read with a timeout; false when nothing more will come (closed or timed out).
  bool ReadSome(std::chrono::milliseconds limit);
  // Reads while wanting() holds, the peer is open and the limit has not passed; true when
  // wanting() no longer holds.
  bool ReadWhile(const std::function<bool()>& wanting, std::chrono::milliseconds limit);

  int Fd = -1;
  bool PeerClosed = false;
  std::string Data;
};
