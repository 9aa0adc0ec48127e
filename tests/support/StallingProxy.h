// A TCP proxy on 127.0.0.1 in front of a server, for tests of a link that stalls: it forwards
// both ways until Stall() is called, then stops reading from its clients (new connections are
// still accepted but get nothing through), so a client's upload fills the socket buffers and
// waits. Resume() lets bytes through again. Two faults of a dying or overloaded server besides:
// CloseEveryConnection() closes each new connection at once, unread; ResetAfterUploads(n)
// carries the next n PUTs to the server whole and then resets the client's connection instead
// of passing the server's answer on. Delay() and Pace() make it a far or a slow link. Each
// connection is pumped by two threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelvo::test {

class TStallingProxy {
public:
  explicit TStallingProxy(uint16_t aServerPort);
  TStallingProxy(const TStallingProxy&) = delete;
  TStallingProxy& operator=(const TStallingProxy&) = delete;
  ~TStallingProxy();

  uint16_t Port() const { return FPort; }
  void Stall() { FStalled = true; }
  void Resume() { FStalled = false; }
  void CloseEveryConnection(bool aClose) { FClosing = aClose; }
  void ResetAfterUploads(int aCount) { FResetsLeft = aCount; }
  // A far link: each answer's first bytes are held back this long (the round trip).
  void Delay(std::chrono::milliseconds aDelay) { FDelay = aDelay; }
  // A slow link: each answer comes at most this fast (0: as fast as it can).
  void Pace(int64_t aBytesPerSecond) { FPace = aBytesPerSecond; }
  // Connections whose request began with this command word.
  int Requests(const std::string& aCommand) const;
  // Connections accepted so far.
  int Accepted() const { return FAccepted; }

private:
  struct TLink {
    std::atomic<bool> FReset{false}; // the answer is replaced by a reset
  };
  void Accept();
  void Pump(int aFrom, int aTo, TLink* aUpstream, TLink* aDownstream);

  uint16_t FServerPort;
  uint16_t FPort = 0;
  int FListenFd = -1;
  std::atomic<bool> FStalled{false};
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FClosing{false};
  std::atomic<int> FResetsLeft{0};
  std::atomic<int> FAccepted{0};
  std::atomic<std::chrono::milliseconds> FDelay{std::chrono::milliseconds(0)};
  std::atomic<int64_t> FPace{0};
  mutable std::mutex FLock; // guards FPumps, FFds, FLinks and FRequests
  std::vector<std::thread> FPumps;
  std::vector<int> FFds;
  std::vector<std::unique_ptr<TLink>> FLinks;
  std::vector<std::string> FRequests; // each connection's command word
  std::thread FAcceptor;
};

} // namespace zelvo::test
