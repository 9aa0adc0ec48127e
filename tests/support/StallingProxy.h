// A TCP proxy on 127.0.0.1 in front of a server, for tests of a link that stalls: it forwards
// both ways until Stall() is called, then stops reading from its clients (new connections are
// still accepted but get nothing through), so a client's upload fills the socket buffers and
// waits. Resume() lets bytes through again. Each connection is pumped by two threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
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

private:
  void Accept();
  void Pump(int aFrom, int aTo);

  uint16_t FServerPort;
  uint16_t FPort = 0;
  int FListenFd = -1;
  std::atomic<bool> FStalled{false};
  std::atomic<bool> FStopping{false};
  std::mutex FLock; // guards FPumps and FFds
  std::vector<std::thread> FPumps;
  std::vector<int> FFds;
  std::thread FAcceptor;
};

} // namespace zelvo::test
