#include "tests/support/Shell.h"

#include <array>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelvo::test {

int Shell(const std::string& aCommand, std::string* aOutput) {
  FILE* FPipe = ::popen(("{ " + aCommand + "\n} 2>&1").c_str(), "r");
  std::array<char, 4096> FBuffer;
  std::string FText;
  while (const size_t FGot = std::fread(FBuffer.data(), 1, FBuffer.size(), FPipe))
    FText.append(FBuffer.data(), FGot);
  const int FStatus = ::pclose(FPipe);
  if (aOutput) *aOutput = FText;
  return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1;
}

std::string ReadLineWithin(int aFd, const std::string& aPrefix,
                           std::chrono::milliseconds aDeadline) {
  std::string FText;
  const auto FEnd = std::chrono::steady_clock::now() + aDeadline;
  while (std::chrono::steady_clock::now() < FEnd) {
    for (size_t FStart = 0, FNewline; (FNewline = FText.find('\n', FStart)) != std::string::npos;
         FStart = FNewline + 1)
      if (FText.compare(FStart, aPrefix.size(), aPrefix) == 0)
        return FText.substr(FStart, FNewline - FStart);
    pollfd FPoll{aFd, POLLIN, 0};
    if (::poll(&FPoll, 1, 100) <= 0) continue;
    char FBuffer[256];
    const ssize_t FGot = ::read(aFd, FBuffer, sizeof FBuffer);
    if (FGot <= 0) break;
    FText.append(FBuffer, static_cast<size_t>(FGot));
  }
  return FText;
}

} // namespace zelvo::test
