// TCP over IPv4 for the command connection (the stand-in for Windows sockets).
//
// One object owns one socket for its whole life (RAII, move-only) and belongs to one thread.
// Time-outs are in milliseconds; 0 or any negative value means no limit of our own. No call
// raises: every outcome is a result. Sending never raises SIGPIPE.
//
// A socket may watch a cancel descriptor (WatchCancel): once that becomes readable, every wait
// of the socket (connect, send, receive) ends at once as a failure, so another thread can end an
// exchange without touching the socket itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace zelvo {

enum class TReceiveStatus {
  Data,     // at least one byte arrived
  Closed,   // the peer closed its sending direction in order
  Aborted,  // connection reset, aborted or shut down
  TimedOut, // nothing arrived within the time-out
  Failed    // any other error, or the exchange was cancelled
};

class TTcpSocket {
public:
  TTcpSocket() = default;
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;
  TTcpSocket(TTcpSocket&& aOther) noexcept;
  TTcpSocket& operator=(TTcpSocket&& aOther) noexcept;
  ~TTcpSocket();

  // A descriptor (an eventfd) whose readability cancels every wait; -1 for none. Set before
  // Connect; it must outlive the socket's use.
  void WatchCancel(int aFd) { FCancelFd = aFd; }

  // The dotted IPv4 address connections leave from; empty (the default) lets the system choose.
  // Set before Connect, which fails when the address cannot be bound.
  void LeaveFrom(std::string aAddress) { FLocalAddress = std::move(aAddress); }

  // aHost: dotted IPv4 address or a host name resolved to IPv4.
  bool Connect(const std::string& aHost, uint16_t aPort, int32_t aTimeOut);
  // Sends every byte; false on an error or when no byte could be sent for aTimeOut ms.
  bool SendAll(const void* aData, size_t aCount, int32_t aTimeOut);
  // The same, also failing once aUntil has passed.
  bool SendAll(const void* aData, size_t aCount, int32_t aTimeOut,
               std::chrono::steady_clock::time_point aUntil);
  TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aReceived, int32_t aTimeOut);
  // Ends the sending direction: the peer sees an orderly close; receiving goes on.
  void ShutdownSend();
  // Ends the sending direction and closes the socket.
  void Close();
  bool IsOpen() const { return FFd >= 0; }
  // Whether the cancel descriptor has fired.
  bool Cancelled() const;

private:
  // Waits for aEvents within aTimeOut; false on time-out, error or cancel.
  bool WaitFor(short aEvents, int32_t aTimeOut) const;

  int FFd = -1;
  int FCancelFd = -1;
  std::string FLocalAddress;
};

} // namespace zelvo
