// random-reads FILE COUNT SIZE SEED: COUNT reads of SIZE bytes at random offsets of FILE, through
// one open, as a program seeking in a big file makes them. Exit status 1 when a read fails.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: random-reads FILE COUNT SIZE SEED\n");
    return 2;
  }
  const int FFd = ::open(argv[1], O_RDONLY);
  struct stat FStat {};
  if (FFd < 0 || ::fstat(FFd, &FStat) != 0) return 1;
  const long FCount = std::atol(argv[2]);
  const size_t FSize = std::strtoul(argv[3], nullptr, 10);
  std::mt19937_64 FRandom(std::strtoull(argv[4], nullptr, 10));
  std::uniform_int_distribution<off_t> FOffset(0, FStat.st_size - static_cast<off_t>(FSize));
  std::vector<char> FBuffer(FSize);
  for (long i = 0; i < FCount; ++i)
    if (::pread(FFd, FBuffer.data(), FSize, FOffset(FRandom)) != static_cast<ssize_t>(FSize))
      return 1;
  ::close(FFd);
  return 0;
}
