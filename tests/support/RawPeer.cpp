#include "tests/support/RawPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelvo::test {
namespace {

sockaddr_in Loopback(const std::string& aAddress, uint16_t aPort) {
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_port = htons(aPort);
  ::inet_pton(AF_INET, aAddress.c_str(), &FAddress.sin_addr);
  return FAddress;
}

} // namespace

TRawPeer::TRawPeer(uint16_t aPort, const std::string& aSource)
    : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  const sockaddr_in FFrom = Loopback(aSource, 0);
  const sockaddr_in FTo = Loopback("127.0.0.1", aPort);
  FConnected = FFd >= 0 &&
               ::bind(FFd, reinterpret_cast<const sockaddr*>(&FFrom), sizeof FFrom) == 0 &&
               ::connect(FFd, reinterpret_cast<const sockaddr*>(&FTo), sizeof FTo) == 0;
}

TRawPeer::~TRawPeer() {
  if (FFd >= 0) ::close(FFd);
}

bool TRawPeer::Send(const std::string& aBytes) {
  for (size_t FSent = 0; FSent < aBytes.size();) {
    const ssize_t FNow = ::send(FFd, aBytes.data() + FSent, aBytes.size() - FSent, MSG_NOSIGNAL);
    if (FNow <= 0) return false;
    FSent += static_cast<size_t>(FNow);
  }
  return true;
}

std::string TRawPeer::Receive(size_t aCount, int aTimeOutMs, TPeerEnd* aEnd) {
  std::string FData;
  char FBuffer[65536];
  while (FData.size() < aCount) {
    pollfd FPoll{FFd, POLLIN, 0};
    if (::poll(&FPoll, 1, aTimeOutMs) <= 0) {
      if (aEnd) *aEnd = TPeerEnd::TimedOut;
      return FData;
    }
    const ssize_t FGot = ::recv(FFd, FBuffer, std::min(sizeof FBuffer, aCount - FData.size()), 0);
    if (FGot <= 0) {
      if (aEnd) *aEnd = TPeerEnd::Closed;
      return FData;
    }
    FData.append(FBuffer, static_cast<size_t>(FGot));
  }
  return FData;
}

std::string TRawPeer::ReceiveAll(int aTimeOutMs, TPeerEnd* aEnd) {
  return Receive(std::string::npos, aTimeOutMs, aEnd);
}

std::string TRawPeer::Exchange(uint16_t aPort, const std::string& aLine, const std::string& aSource,
                               const std::string& aBody) {
  TRawPeer FPeer(aPort, aSource);
  if (!FPeer.Send(aLine + "\r\n" + aBody)) return {};
  return FPeer.ReceiveAll();
}

std::string CountedBlock(const std::string& aData) {
  const auto FCount = static_cast<uint32_t>(aData.size());
  const char FHeader[4] = {static_cast<char>(FCount >> 24), static_cast<char>(FCount >> 16),
                           static_cast<char>(FCount >> 8), static_cast<char>(FCount)};
  return std::string(FHeader, 4) + aData;
}

bool LogIn(uint16_t aPort, const std::string& aClass, const std::string& aUser,
           const std::string& aSource, const std::string& aPassword) {
  // A LOGIN is granted when it names the home (a refusal is empty, or one "refused" line).
  const std::string FReply =
      TRawPeer::Exchange(aPort, "LOGIN " + aClass + " " + aUser + " " + aPassword, aSource);
  return FReply.find("\\home\\") != std::string::npos;
}

} // namespace zelvo::test
