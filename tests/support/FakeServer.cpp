#include "tests/support/FakeServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace zelvo::test {
namespace {

constexpr int kPollStep = 50;

int ListenOn(const std::string& aAddress, uint16_t& aPort) {
  const int FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int FOne = 1;
  ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &FOne, sizeof FOne);
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_port = htons(aPort);
  ::inet_pton(AF_INET, aAddress.c_str(), &FAddress.sin_addr);
  if (::bind(FFd, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress) != 0 ||
      ::listen(FFd, 16) != 0)
    throw std::runtime_error("fake server cannot listen");
  socklen_t FLength = sizeof FAddress;
  ::getsockname(FFd, reinterpret_cast<sockaddr*>(&FAddress), &FLength);
  aPort = ntohs(FAddress.sin_port);
  return FFd;
}

bool Readable(int aFd, const std::atomic<bool>& aStopping) {
  pollfd FPoll{aFd, POLLIN, 0};
  while (!aStopping) {
    if (::poll(&FPoll, 1, kPollStep) > 0) return true;
  }
  return false;
}

} // namespace

std::string TFakeConnection::ReadLine() {
  for (;;) {
    if (const auto FEnd = FPending.find("\r\n"); FEnd != std::string::npos) {
      std::string FLine = FPending.substr(0, FEnd);
      FPending.erase(0, FEnd + 2);
      FServer.Record(FLine);
      return FLine;
    }
    char FBuffer[4096];
    if (!Readable(FFd, FServer.FStopping)) return {};
    const ssize_t FGot = ::recv(FFd, FBuffer, sizeof FBuffer, 0);
    if (FGot <= 0) return std::exchange(FPending, {});
    FPending.append(FBuffer, static_cast<size_t>(FGot));
  }
}

std::string TFakeConnection::ReadBytes(size_t aCount) {
  while (FPending.size() < aCount) {
    char FBuffer[65536];
    if (!Readable(FFd, FServer.FStopping)) break;
    const ssize_t FGot = ::recv(FFd, FBuffer, sizeof FBuffer, 0);
    if (FGot <= 0) break;
    FPending.append(FBuffer, static_cast<size_t>(FGot));
  }
  std::string FResult = FPending.substr(0, aCount);
  FPending.erase(0, FResult.size());
  return FResult;
}

bool TFakeConnection::Send(std::string_view aBytes) {
  while (!aBytes.empty()) {
    // A peer that stops reading must not hold the server's stop.
    pollfd FPoll{FFd, POLLOUT, 0};
    if (FServer.FStopping) return false;
    if (::poll(&FPoll, 1, kPollStep) <= 0) continue;
    const ssize_t FSent = ::send(FFd, aBytes.data(), aBytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (FSent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (FSent <= 0) return false;
    aBytes.remove_prefix(static_cast<size_t>(FSent));
  }
  return true;
}

std::string TFakeConnection::Stall() {
  std::string FResult = std::exchange(FPending, {});
  char FBuffer[65536];
  while (Readable(FFd, FServer.FStopping)) {
    const ssize_t FGot = ::recv(FFd, FBuffer, sizeof FBuffer, 0);
    if (FGot <= 0) break;
    FResult.append(FBuffer, static_cast<size_t>(FGot));
  }
  return FResult;
}

std::string TFakeConnection::PeerAddress() const {
  sockaddr_in FPeer{};
  socklen_t FSize = sizeof FPeer;
  char FText[INET_ADDRSTRLEN] = {};
  if (::getpeername(FFd, reinterpret_cast<sockaddr*>(&FPeer), &FSize) != 0 ||
      !::inet_ntop(AF_INET, &FPeer.sin_addr, FText, sizeof FText))
    return {};
  return FText;
}

void TFakeConnection::Reset() {
  const linger FLinger{1, 0};
  ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &FLinger, sizeof FLinger);
}

TFakeServer::TFakeServer(TScript aScript, const std::string& aAddress, uint16_t aPort,
                         bool aConcurrent)
    : FScript(std::move(aScript)), FPort(aPort), FConcurrent(aConcurrent) {
  FListenFd = ListenOn(aAddress, FPort);
  FThread = std::thread([this] { Run(); });
}

TFakeServer::~TFakeServer() {
  FStopping = true;
  FThread.join();
  ::close(FListenFd);
}

void TFakeServer::Run() {
  while (Readable(FListenFd, FStopping)) {
    const int FFd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (FFd < 0) continue;
    ++FConnections;
    if (FConcurrent)
      FConnectionThreads.emplace_back([this, FFd] { Serve(FFd); });
    else
      Serve(FFd);
  }
  for (auto& FThread : FConnectionThreads)
    FThread.join();
}

void TFakeServer::Serve(int aFd) {
  TFakeConnection FConnection(aFd, *this);
  FScript(FConnection);
  ::close(aFd);
  {
    std::lock_guard FGuard(FLock);
    ++FHandled;
  }
  FHandledChanged.notify_all();
}

void TFakeServer::Record(std::string aLine) {
  std::lock_guard FGuard(FLock);
  FRequests.push_back(std::move(aLine));
}

bool TFakeServer::WaitHandled(int aCount, std::chrono::milliseconds aDeadline) {
  std::unique_lock FGuard(FLock);
  return FHandledChanged.wait_for(FGuard, aDeadline, [&] { return FHandled >= aCount; });
}

std::vector<std::string> TFakeServer::Requests() const {
  std::lock_guard FGuard(FLock);
  return FRequests;
}

TFakeServer::TScript TFakeServer::Reply(std::string aBytes) {
  return [aBytes](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    aConnection.Send(aBytes);
  };
}

TFakeServer::TScript TFakeServer::Silent() {
  return [](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    aConnection.Stall();
  };
}

uint16_t ClosedPort() {
  uint16_t FPort = 0;
  ::close(ListenOn("127.0.0.1", FPort));
  return FPort;
}

std::string BlockCount(int32_t aCount) {
  const auto FValue = static_cast<uint32_t>(aCount);
  return {static_cast<char>(FValue >> 24), static_cast<char>(FValue >> 16),
          static_cast<char>(FValue >> 8), static_cast<char>(FValue)};
}

std::string ListingCount(uint32_t aCount) {
  return {static_cast<char>(aCount), static_cast<char>(aCount >> 8),
          static_cast<char>(aCount >> 16), static_cast<char>(aCount >> 24)};
}

std::string Block(std::string_view aData) {
  return BlockCount(static_cast<int32_t>(aData.size())) + std::string(aData);
}

} // namespace zelvo::test
