// Requests per second the reference server answers with 10, 100 and 500 clients at once, each
// asking one small GET after another on connections of its own, beside the limit measured in
// the same run: a bare loopback server that answers every connection with the same bytes at
// once. Usage: server-load PORT HOME_FILE [SECONDS] (the file's user logged in from 127.0.0.1
// before, so the GET passes the guard).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/Loopback.h"

namespace {

using namespace zelvo::bench;
using TClock = std::chrono::steady_clock;

// One exchange: the line out, the reply read to the server's close; true when any came back.
bool Exchange(uint16_t aPort, const std::string& aLine) {
  const int FSocket = ConnectToLoopback(aPort);
  if (FSocket < 0) return false;
  bool FAnswered = ::send(FSocket, aLine.data(), aLine.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(aLine.size());
  char FBuffer[4096];
  size_t FTotal = 0;
  for (ssize_t FGot; FAnswered && (FGot = ::recv(FSocket, FBuffer, sizeof FBuffer, 0)) > 0;)
    FTotal += static_cast<size_t>(FGot);
  ::close(FSocket);
  return FAnswered && FTotal > 0;
}

// Answered exchanges per second with aClients at once for aSeconds.
double Rate(uint16_t aPort, const std::string& aLine, int aClients, int aSeconds) {
  std::atomic<bool> FStop = false;
  std::atomic<long> FDone = 0;
  std::vector<std::thread> FClients;
  const auto FStart = TClock::now();
  for (int i = 0; i < aClients; ++i)
    FClients.emplace_back([&] {
      while (!FStop)
        if (Exchange(aPort, aLine)) ++FDone;
    });
  std::this_thread::sleep_for(std::chrono::seconds(aSeconds));
  FStop = true;
  for (auto& FClient : FClients)
    FClient.join();
  return FDone / std::chrono::duration<double>(TClock::now() - FStart).count();
}

// The limit: every connection answered at once with a small reply, on four threads.
class TBareServer {
public:
  TBareServer() : FListen(ListenOnLoopback(FPort, 1024)) {
    for (int i = 0; i < 4; ++i)
      FThreads.emplace_back([this] { Serve(); });
  }
  ~TBareServer() {
    FStop = true;
    for (size_t i = 0; i < FThreads.size(); ++i)
      ::close(ConnectToLoopback(FPort));
    for (auto& FThread : FThreads)
      FThread.join();
    ::close(FListen);
  }
  uint16_t Port() const { return FPort; }

private:
  void Serve() {
    while (!FStop) {
      const int FClient = ::accept(FListen, nullptr, nullptr);
      if (FClient < 0) continue;
      char FBuffer[512];
      (void)::recv(FClient, FBuffer, sizeof FBuffer, 0);
      (void)::send(FClient, "\0\0\0\x10welcome, student", 20, MSG_NOSIGNAL);
      ::close(FClient);
    }
  }
  uint16_t FPort = 0;
  int FListen;
  std::atomic<bool> FStop = false;
  std::vector<std::thread> FThreads;
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: server-load PORT HOME_FILE [SECONDS]\n");
    return 2;
  }
  const auto FPort = static_cast<uint16_t>(std::stoi(argv[1]));
  const std::string FLine = std::string("GET ") + argv[2] + "\r\n";
  const int FSeconds = argc > 3 ? std::stoi(argv[3]) : 3;
  // The log-in before may still be hashing its password.
  const auto FReadyBy = TClock::now() + std::chrono::seconds(10);
  while (!Exchange(FPort, FLine) && TClock::now() < FReadyBy)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!Exchange(FPort, FLine)) {
    std::fprintf(stderr, "server-load: the server does not answer the GET\n");
    return 1;
  }
  TBareServer FBare;
  std::printf("clients  server req/s  bare loopback req/s  ratio\n");
  for (const int FClients : {10, 100, 500}) {
    const double FServer = Rate(FPort, FLine, FClients, FSeconds);
    const double FLimit = Rate(FBare.Port(), FLine, FClients, FSeconds);
    std::printf("%7d  %13.0f  %19.0f  %5.2f\n", FClients, FServer, FLimit, FServer / FLimit);
  }
  return 0;
}
