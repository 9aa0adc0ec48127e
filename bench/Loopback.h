// Sockets on 127.0.0.1 for the benchmark tools.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zelvo::bench {

// A listening socket on a free port of 127.0.0.1 (aPort receives it), or -1.
inline int ListenOnLoopback(uint16_t& aPort, int aBacklog) {
  const int FListen = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t FLength = sizeof FAddress;
  if (::bind(FListen, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress) != 0 ||
      ::listen(FListen, aBacklog) != 0 ||
      ::getsockname(FListen, reinterpret_cast<sockaddr*>(&FAddress), &FLength) != 0) {
    ::close(FListen);
    return -1;
  }
  aPort = ntohs(FAddress.sin_port);
  return FListen;
}

// A connection to aPort on 127.0.0.1, or -1.
inline int ConnectToLoopback(uint16_t aPort) {
  const int FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in FAddress{};
  FAddress.sin_family = AF_INET;
  FAddress.sin_port = htons(aPort);
  FAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(FSocket, reinterpret_cast<sockaddr*>(&FAddress), sizeof FAddress) == 0)
    return FSocket;
  ::close(FSocket);
  return -1;
}

} // namespace zelvo::bench
