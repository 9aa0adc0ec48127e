// The limit for transfers: the bytes of a file sent over a raw loopback TCP connection and
// received into memory that is thrown away. Prints the seconds taken.
//   loopback-copy FILE
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/Loopback.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: loopback-copy FILE\n");
    return 2;
  }
  const int FFile = ::open(argv[1], O_RDONLY);
  struct stat FStat {};
  if (FFile < 0 || ::fstat(FFile, &FStat) != 0) return 1;
  uint16_t FPort = 0;
  const int FListen = zelvo::bench::ListenOnLoopback(FPort, 1);
  if (FListen < 0) return 1;
  const auto FStart = std::chrono::steady_clock::now();
  std::thread FSender([&] {
    const int FPeer = ::accept(FListen, nullptr, nullptr);
    std::vector<char> FPiece(1 << 16);
    for (ssize_t FGot; (FGot = ::read(FFile, FPiece.data(), FPiece.size())) > 0;)
      for (ssize_t FSent = 0; FSent < FGot;)
        FSent += ::send(FPeer, FPiece.data() + FSent, FGot - FSent, 0);
    ::close(FPeer);
  });
  const int FClient = zelvo::bench::ConnectToLoopback(FPort);
  if (FClient < 0) return 1;
  std::vector<char> FBuffer(1 << 16);
  long long FTotal = 0;
  for (ssize_t FGot; (FGot = ::recv(FClient, FBuffer.data(), FBuffer.size(), 0)) > 0;)
    FTotal += FGot;
  FSender.join();
  const double FSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  std::printf("%.3f\n", FSeconds);
  return FTotal == FStat.st_size ? 0 : 1;
}
