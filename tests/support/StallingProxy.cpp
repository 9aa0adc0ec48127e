#include "tests/support/StallingProxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace zelvo::test {
namespace {

// Waits up to 50 ms for aFd to become readable, so stop and stall flags are seen promptly.
bool Readable(int aFd) {
  pollfd FPoll{aFd, POLLIN, 0};
  return ::poll(&FPoll, 1, 50) > 0;
}

int ConnectTo(uint16_t aPort) {
  const int FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_port = htons(aPort);
  FAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(FFd, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress) != 0) {
    ::close(FFd);
    return -1;
  }
  return FFd;
}

} // namespace

TStallingProxy::TStallingProxy(uint16_t aServerPort) : FServerPort(aServerPort) {
  FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t FLength = sizeof FAddress;
  ::bind(FListenFd, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress);
  ::listen(FListenFd, 64);
  ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&FAddress), &FLength);
  FPort = ntohs(FAddress.sin_port);
  FAcceptor = std::thread([this] { Accept(); });
}

TStallingProxy::~TStallingProxy() {
  FStopping = true;
  FAcceptor.join();
  std::lock_guard FGuard(FLock);
  for (auto& FPump : FPumps)
    FPump.join();
  for (const int FFd : FFds)
    ::close(FFd);
  ::close(FListenFd);
}

void TStallingProxy::Accept() {
  while (!FStopping) {
    if (!Readable(FListenFd)) continue;
    const int FClient = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (FClient < 0) continue;
    ++FAccepted;
    if (FClosing) {
      ::close(FClient);
      continue;
    }
    const int FServer = ConnectTo(FServerPort);
    std::lock_guard FGuard(FLock);
    FFds.push_back(FClient);
    if (FServer < 0) {
      ::shutdown(FClient, SHUT_RDWR);
      continue;
    }
    FFds.push_back(FServer);
    TLink* FLink = FLinks.emplace_back(std::make_unique<TLink>()).get();
    FPumps.emplace_back(
        [this, FClient, FServer, FLink] { Pump(FClient, FServer, FLink, nullptr); });
    FPumps.emplace_back(
        [this, FClient, FServer, FLink] { Pump(FServer, FClient, nullptr, FLink); });
  }
}

int TStallingProxy::Requests(const std::string& aCommand) const {
  std::lock_guard FGuard(FLock);
  return static_cast<int>(std::count(FRequests.begin(), FRequests.end(), aCommand));
}

// aUpstream: this pump carries the client's request; aDownstream: the server's answer.

void TStallingProxy::Pump(int aFrom, int aTo, TLink* aUpstream, TLink* aDownstream) {
  char FBuffer[16384];
  bool FFirst = true;
  const auto FStart = std::chrono::steady_clock::now();
  int64_t FCarried = 0;
  while (!FStopping) {
    if (FStalled || !Readable(aFrom)) continue;
    const ssize_t FGot = ::recv(aFrom, FBuffer, sizeof FBuffer, 0);
    if (FGot <= 0) break;
    if (aUpstream && FFirst) {
      const std::string_view FLine(FBuffer, static_cast<size_t>(FGot));
      std::lock_guard FGuard(FLock);
      FRequests.emplace_back(FLine.substr(0, FLine.find(' ')));
    }
    if (aDownstream && FPace > 0)
      std::this_thread::sleep_until(FStart +
                                    std::chrono::microseconds(FCarried * 1'000'000 / FPace));
    FCarried += FGot;
    if (aUpstream && FFirst && std::string_view(FBuffer, FGot).starts_with("PUT ") &&
        FResetsLeft.fetch_sub(1) > 0)
      aUpstream->FReset = true;
    if (aDownstream && FFirst) std::this_thread::sleep_for(FDelay.load());
    FFirst = false;
    if (aDownstream && aDownstream->FReset) {
      // As a server dying right after the upload: the client's connection is reset.
      sockaddr FUnspecified{};
      FUnspecified.sa_family = AF_UNSPEC;
      ::connect(aTo, &FUnspecified, sizeof FUnspecified);
      return;
    }
    for (ssize_t FSent = 0; FSent < FGot;) {
      const ssize_t FNow =
          ::send(aTo, FBuffer + FSent, static_cast<size_t>(FGot - FSent), MSG_NOSIGNAL);
      if (FNow <= 0) return;
      FSent += FNow;
    }
  }
  ::shutdown(aTo, SHUT_WR);
}

} // namespace zelvo::test
