// A scriptable TCP peer on 127.0.0.1 for protocol tests.
//
// Each accepted connection runs the script on the server's own thread, one connection after
// another, or (aConcurrent) each on a thread of its own, so one script may hold its connection
// while others are served. Every line the scripts read is recorded, in order, as a request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zelvo::test {

class TFakeConnection {
public:
  TFakeConnection(int aFd, class TFakeServer& aServer) : FFd(aFd), FServer(aServer) {}
  // Reads up to and including CR LF; returns the line without it ("" on close).
  std::string ReadLine();
  std::string ReadBytes(size_t aCount);
  // Sends every byte; false when the peer went away or the server is stopping first.
  bool Send(std::string_view aBytes);
  // Waits until the peer closes or the server stops; returns what arrived meanwhile.
  std::string Stall();
  // Closes with a reset instead of an orderly close.
  void Reset();
  // The dotted address the client connected from.
  std::string PeerAddress() const;

private:
  int FFd;
  TFakeServer& FServer;
  std::string FPending;
};

class TFakeServer {
public:
  using TScript = std::function<void(TFakeConnection&)>;
  // Listens on aAddress (a loopback address) and aPort (0: a free port).
  explicit TFakeServer(TScript aScript, const std::string& aAddress = "127.0.0.1",
                       uint16_t aPort = 0, bool aConcurrent = false);
  TFakeServer(const TFakeServer&) = delete;
  TFakeServer& operator=(const TFakeServer&) = delete;
  ~TFakeServer();

  uint16_t Port() const { return FPort; }
  std::vector<std::string> Requests() const;
  int Connections() const { return FConnections; }
  // Waits until aCount connections have run their script to the end; false after the deadline.
  bool WaitHandled(int aCount, std::chrono::milliseconds aDeadline = std::chrono::seconds(10));

  bool Stopping() const { return FStopping; }

  // The common scripts.
  static TScript Reply(std::string aBytes); // read the request line, send, close
  static TScript Silent();                  // read the request line, then stall

private:
  friend class TFakeConnection;
  void Run();
  void Serve(int aFd);
  void Record(std::string aLine);

  TScript FScript;
  int FListenFd = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FConnections{0};
  mutable std::mutex FLock; // guards FRequests and FHandled
  std::condition_variable FHandledChanged;
  std::vector<std::string> FRequests;
  int FHandled = 0;
  bool FConcurrent = false;
  std::vector<std::thread> FConnectionThreads; // only the server's thread touches it
  std::thread FThread;
};

// A local port with nothing listening on it.
uint16_t ClosedPort();

// Bytes of a big-endian count followed by data.
std::string Block(std::string_view aData);
std::string BlockCount(int32_t aCount);
// The little-endian count that starts a listing block.
std::string ListingCount(uint32_t aCount);

} // namespace zelvo::test
