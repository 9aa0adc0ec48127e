// TCP over IPv4 for the command connection (the stand-in for Windows sockets).
//
// One object owns one socket for its whole life (RAII, move-only) and belongs to one thread.
// Time-outs are in milliseconds; 0 or any negative value means no limit of our own. No call
// raises: every outcome is a result. Sending never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo {

enum class TReceiveStatus {
  Data,     // at least one byte arrived
  Closed,   // the peer closed its sending direction in order
  Aborted,  // connection reset, aborted or shut down
  TimedOut, // nothing arrived within the time-out
  Failed    // any other error
};

class TTcpSocket {
public:
  TTcpSocket() = default;
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;
  TTcpSocket(TTcpSocket&& aOther) noexcept;
  TTcpSocket& operator=(TTcpSocket&& aOther) noexcept;
  ~TTcpSocket();

  // aHost: dotted IPv4 address or a host name resolved to IPv4.
  bool Connect(const std::string& aHost, uint16_t aPort, int32_t aTimeOut);
  // Sends every byte; false on an error or when no byte could be sent for aTimeOut ms.
  bool SendAll(const void* aData, size_t aCount, int32_t aTimeOut);
  TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aReceived, int32_t aTimeOut);
  // Ends the sending direction: the peer sees an orderly close; receiving goes on.
  void ShutdownSend();
  // Ends the sending direction and closes the socket.
  void Close();
  bool IsOpen() const { return FFd >= 0; }

private:
  int FFd = -1;
};

} // namespace zelvo
