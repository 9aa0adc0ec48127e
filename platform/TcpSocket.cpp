#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace zelvo {
namespace {

int PollTimeout(int32_t aTimeOut) {
  return aTimeOut > 0 ? aTimeOut : -1;
}

// The socket's events, unless the cancel descriptor (when there is one) is readable first.
bool WaitFor(int aFd, int aCancelFd, short aEvents, int32_t aTimeOut) {
  std::array<pollfd, 2> FPoll{{{aFd, aEvents, 0}, {aCancelFd, POLLIN, 0}}};
  const nfds_t FCount = aCancelFd >= 0 ? 2 : 1;
  for (;;) {
    const int FReady = ::poll(FPoll.data(), FCount, PollTimeout(aTimeOut));
    if (FReady < 0 && errno == EINTR) continue;
    if (FReady <= 0 || (FCount == 2 && FPoll[1].revents != 0)) return false;
    return FPoll[0].revents != 0;
  }
}

struct TAddrInfoDeleter {
  void operator()(addrinfo* aInfo) const { ::freeaddrinfo(aInfo); }
};

bool Resolve(const std::string& aHost, uint16_t aPort, sockaddr_in& aAddress) {
  addrinfo FHints{};
  FHints.ai_family = AF_INET;
  FHints.ai_socktype = SOCK_STREAM;
  addrinfo* FRaw = nullptr;
  if (::getaddrinfo(aHost.c_str(), nullptr, &FHints, &FRaw) != 0 || FRaw == nullptr) return false;
  std::unique_ptr<addrinfo, TAddrInfoDeleter> FInfo(FRaw);
  aAddress = *reinterpret_cast<const sockaddr_in*>(FInfo->ai_addr);
  aAddress.sin_port = htons(aPort);
  return true;
}

bool SetBlocking(int aFd, bool aBlocking) {
  const int FFlags = ::fcntl(aFd, F_GETFL);
  if (FFlags < 0) return false;
  return ::fcntl(aFd, F_SETFL, aBlocking ? FFlags & ~O_NONBLOCK : FFlags | O_NONBLOCK) == 0;
}

// A non-blocking connect watched by poll, so the time-out holds whatever the system's own is.
bool BindLocal(int aFd, const std::string& aAddress) {
  if (aAddress.empty()) return true;
  sockaddr_in FLocal{};
  FLocal.sin_family = AF_INET;
  return ::inet_pton(AF_INET, aAddress.c_str(), &FLocal.sin_addr) == 1 &&
         ::bind(aFd, reinterpret_cast<const sockaddr*>(&FLocal), sizeof FLocal) == 0;
}

bool ConnectWithin(int aFd, int aCancelFd, const sockaddr_in& aAddress, int32_t aTimeOut) {
  if (!SetBlocking(aFd, false)) return false;
  if (::connect(aFd, reinterpret_cast<const sockaddr*>(&aAddress), sizeof aAddress) != 0) {
    int FError = errno;
    if (FError != EINPROGRESS || !WaitFor(aFd, aCancelFd, POLLOUT, aTimeOut)) return false;
    socklen_t FLength = sizeof FError;
    if (::getsockopt(aFd, SOL_SOCKET, SO_ERROR, &FError, &FLength) != 0 || FError != 0)
      return false;
  }
  return SetBlocking(aFd, true);
}

} // namespace

TTcpSocket::TTcpSocket(TTcpSocket&& aOther) noexcept : FFd(std::exchange(aOther.FFd, -1)) {}

TTcpSocket& TTcpSocket::operator=(TTcpSocket&& aOther) noexcept {
  if (this != &aOther) {
    Close();
    FFd = std::exchange(aOther.FFd, -1);
  }
  return *this;
}

TTcpSocket::~TTcpSocket() {
  Close();
}

bool TTcpSocket::Connect(const std::string& aHost, uint16_t aPort, int32_t aTimeOut) {
  Close();
  sockaddr_in FAddress{};
  if (!Resolve(aHost, aPort, FAddress)) return false;
  FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FFd >= 0 && BindLocal(FFd, FLocalAddress) &&
      ConnectWithin(FFd, FCancelFd, FAddress, aTimeOut))
    return true;
  Close();
  return false;
}

bool TTcpSocket::WaitFor(short aEvents, int32_t aTimeOut) const {
  return zelvo::WaitFor(FFd, FCancelFd, aEvents, aTimeOut);
}

bool TTcpSocket::SendAll(const void* aData, size_t aCount, int32_t aTimeOut) {
  return SendAll(aData, aCount, aTimeOut, std::chrono::steady_clock::time_point::max());
}

bool TTcpSocket::SendAll(const void* aData, size_t aCount, int32_t aTimeOut,
                         std::chrono::steady_clock::time_point aUntil) {
  using namespace std::chrono;
  const auto* FBytes = static_cast<const char*>(aData);
  while (aCount > 0) {
    int32_t FWait = aTimeOut;
    if (aUntil != steady_clock::time_point::max()) {
      const auto FLeft = duration_cast<milliseconds>(aUntil - steady_clock::now()).count();
      if (FLeft <= 0) return false;
      if (FWait <= 0 || FLeft < FWait) FWait = static_cast<int32_t>(FLeft);
    }
    // A peer that stops reading fills the send buffer: wait for room, within the time-out.
    if (!WaitFor(POLLOUT, FWait)) return false;
    const ssize_t FSent = ::send(FFd, FBytes, aCount, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (FSent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (FSent <= 0) return false;
    FBytes += FSent;
    aCount -= static_cast<size_t>(FSent);
  }
  return true;
}

TReceiveStatus TTcpSocket::Receive(void* aBuffer, size_t aCapacity, size_t& aReceived,
                                   int32_t aTimeOut) {
  aReceived = 0;
  if (FFd < 0) return TReceiveStatus::Failed;
  if (!WaitFor(POLLIN, aTimeOut))
    return Cancelled() ? TReceiveStatus::Failed : TReceiveStatus::TimedOut;
  for (;;) {
    const ssize_t FGot = ::recv(FFd, aBuffer, aCapacity, 0);
    if (FGot > 0) {
      aReceived = static_cast<size_t>(FGot);
      return TReceiveStatus::Data;
    }
    if (FGot == 0) return TReceiveStatus::Closed;
    switch (errno) {
    case EINTR:
      continue;
    case ECONNRESET:
    case ECONNABORTED:
    case ESHUTDOWN:
    case EPIPE:
      return TReceiveStatus::Aborted;
    default:
      return TReceiveStatus::Failed;
    }
  }
}

bool TTcpSocket::Cancelled() const {
  if (FCancelFd < 0) return false;
  pollfd FPoll{FCancelFd, POLLIN, 0};
  return ::poll(&FPoll, 1, 0) > 0;
}

void TTcpSocket::ShutdownSend() {
  if (FFd >= 0) ::shutdown(FFd, SHUT_WR);
}

void TTcpSocket::Close() {
  if (FFd < 0) return;
  ::shutdown(FFd, SHUT_WR);
  ::close(std::exchange(FFd, -1));
}

} // namespace zelvo
