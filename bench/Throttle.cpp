// A slow link for the benchmarks: a TCP relay on 127.0.0.1 in front of a server, passing the
// server's bytes to the clients at a fixed rate shared by all connections (one link), and the
// clients' bytes unhindered. Prints the port it listens on, then serves until killed.
//   throttle SERVER_PORT BYTES_PER_SECOND
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/Loopback.h"

namespace {

using TClock = std::chrono::steady_clock;

// The link: a token bucket that every server-to-client piece draws from, so all connections
// together get the rate.
class TLink {
public:
  explicit TLink(double aRate) : FRate(aRate) {}
  void Take(size_t aBytes) {
    TClock::time_point FAt;
    {
      std::lock_guard FGuard(FLock);
      const auto FNow = TClock::now();
      if (FNext < FNow) FNext = FNow;
      FNext += std::chrono::duration_cast<TClock::duration>(
          std::chrono::duration<double>(static_cast<double>(aBytes) / FRate));
      FAt = FNext;
    }
    std::this_thread::sleep_until(FAt);
  }

private:
  const double FRate;
  std::mutex FLock; // guards FNext
  TClock::time_point FNext = TClock::now();
};

// Small pieces, so connections sharing the link take turns.
void Pump(int aFrom, int aTo, TLink* aLink) {
  std::vector<char> FPiece(16 * 1024);
  for (ssize_t FGot; (FGot = ::recv(aFrom, FPiece.data(), FPiece.size(), 0)) > 0;) {
    if (aLink) aLink->Take(static_cast<size_t>(FGot));
    for (ssize_t FSent = 0; FSent < FGot;) {
      const ssize_t FNow = ::send(aTo, FPiece.data() + FSent, FGot - FSent, MSG_NOSIGNAL);
      if (FNow <= 0) break;
      FSent += FNow;
    }
  }
  ::shutdown(aTo, SHUT_WR);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: throttle SERVER_PORT BYTES_PER_SECOND\n");
    return 2;
  }
  const auto FServerPort = static_cast<uint16_t>(std::atoi(argv[1]));
  TLink FLink(std::atof(argv[2]));
  uint16_t FPort = 0;
  const int FListen = zelvo::bench::ListenOnLoopback(FPort, 64);
  if (FListen < 0) return 1;
  std::printf("%u\n", FPort);
  std::fflush(stdout);
  for (int FClient; (FClient = ::accept(FListen, nullptr, nullptr)) >= 0;) {
    const int FServer = zelvo::bench::ConnectToLoopback(FServerPort);
    if (FServer < 0) {
      ::close(FClient);
      continue;
    }
    std::thread([FClient, FServer, &FLink] {
      std::thread FUp(Pump, FClient, FServer, nullptr);
      Pump(FServer, FClient, &FLink);
      FUp.join();
      ::close(FClient);
      ::close(FServer);
    }).detach();
  }
  return 0;
}
