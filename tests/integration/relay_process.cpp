#include "integration/relay_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// True when /proc/net/<table> lists a local port in the given state (0A listening, 07 bound UDP).
bool KernelHasSocket(const std::string& table, std::uint16_t port, const std::string& state) {
  std::ifstream sockets("/proc/net/" + table);
  std::string line;
  char portHex[8];
  std::snprintf(portHex, sizeof portHex, ":%04X", port);
  while (std::getline(sockets, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, socketState;
    fields >> slot >> local >> remote >> socketState;
    if (local.ends_with(portHex) && socketState == state) return true;
  }
  return false;
}

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void SendDatagram(std::uint16_t port, const std::string& payload, const std::string& fromAddress) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in source = Loopback(0);
  ::inet_pton(AF_INET, fromAddress.c_str(), &source.sin_addr);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
  const sockaddr_in address = Loopback(port);
  ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
  ::close(fd);
}

ChildProcess::ChildProcess(std::vector<std::string> arguments,
                           const std::filesystem::path& stdoutPath,
                           const std::filesystem::path& stderrPath) {
  ProcessId = ::fork();
  if (ProcessId == 0) {
    const int outFd = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (ProcessId > 0 && !HasEnded) {
    ::kill(ProcessId, SIGKILL);
    ::waitpid(ProcessId, nullptr, 0);
  }
}

void ChildProcess::Signal(int signalNumber) const {
  if (!HasEnded) ::kill(ProcessId, signalNumber);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds limit) {
  WaitFor(
      [&] {
        int raw = 0;
        if (HasEnded) return true;
        if (::waitpid(ProcessId, &raw, WNOHANG) != ProcessId) return false;
        HasEnded = true;
        Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
      },
      limit);
  return Status;
}

RelayProcess::RelayProcess(const std::vector<std::string>& extraArguments,
                           std::optional<std::uint16_t> streamPort,
                           std::optional<std::uint16_t> eventPort)
    : Dir(MakeTempFolder()),
      Stream(streamPort.value_or(FreeTcpPort())),
      Events(eventPort.value_or(FreeUdpPort())) {
  const auto executable = Dir / "KorvelCaptureServer";
  std::filesystem::copy_file(KORVEL_EXECUTABLE, executable);
  std::vector<std::string> arguments = {executable.string(), "-p", std::to_string(Stream), "-l",
                                        std::to_string(Events)};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  Process = std::make_unique<ChildProcess>(arguments, Dir / "stdout.txt", Dir / "stderr.txt");
}

RelayProcess::~RelayProcess() {
  // Every relay must end cleanly on SIGTERM; a sanitizer report also shows up here.
  if (!Process->Ended()) {
    const std::optional<int> status = Stop();
    if (status != 0) {
      ADD_FAILURE() << "the relay ended with status " << status.value_or(-1) << "\n"
                    << ReadFile("stderr.txt");
    }
  }
  Process.reset();
  std::error_code ignored;
  std::filesystem::remove_all(Dir, ignored);
}

bool RelayProcess::WaitUntilListening() {
  // Read from the kernel's tables: a probing connection would itself become a client.
  return WaitFor(
             [&] {
               if (WaitForExit(std::chrono::milliseconds(0))) return true;
               return KernelHasSocket("tcp", Stream, "0A") && KernelHasSocket("udp", Events, "07");
             },
             5s) &&
         !Process->Ended();
}

std::optional<int> RelayProcess::Stop() {
  Process->Signal(SIGTERM);
  return WaitForExit(5s);
}

std::string RelayProcess::ReadFile(const std::string& name) const {
  std::ifstream file(Dir / name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

int RelayProcess::CountInLog(const std::string& text) const {
  const std::string log = LogText();
  int count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
    ++count;
  return count;
}

bool RelayProcess::WaitForLog(const std::string& text, int count,
                              std::chrono::milliseconds limit) const {
  return WaitFor([&] { return CountInLog(text) >= count; }, limit);
}

long RelayProcess::ResidentKiB() const {
  std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

TestClient::TestClient(std::uint16_t port, int receiveBuffer) {
  Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) {
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  const sockaddr_in address = Loopback(port);
  if (::connect(Fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Close();
}

TestClient::~TestClient() {
  Close();
}

void TestClient::Close() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

void TestClient::Reset() {
  const linger abort{1, 0};
  if (Fd >= 0) ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  Close();
}

void TestClient::Send(const std::string& data) {
  if (Fd >= 0) ::send(Fd, data.data(), data.size(), MSG_NOSIGNAL);
}

bool TestClient::ReadSome(std::chrono::milliseconds limit) {
  if (Fd < 0 || PeerClosed) return false;
  pollfd ready{Fd, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return false;
  char buffer[65536];
  const ssize_t count = ::recv(Fd, buffer, sizeof buffer, 0);
  if (count <= 0) {
    PeerClosed = true;
    return false;
  }
  Data.append(buffer, static_cast<std::size_t>(count));
  return true;
}

bool TestClient::ReadWhile(const std::function<bool()>& wanting, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (wanting() && !PeerClosed && Clock::now() < deadline) {
    ReadSome(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  }
  return !wanting();
}

const std::string& TestClient::ReadAtLeast(std::size_t count, std::chrono::milliseconds limit) {
  ReadWhile([&] { return Data.size() < count; }, limit);
  return Data;
}

bool TestClient::ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
  return ReadWhile([&] { return Data.find(text) == std::string::npos; }, limit);
}

bool TestClient::WaitForClose(std::chrono::milliseconds limit) {
  ReadWhile([] { return true; }, limit);
  return PeerClosed;
}
