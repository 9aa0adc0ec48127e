#include "shell/SignalExit.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zelvo {
namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char FByte = 1;
  (void)!::write(SignalPipe[1], &FByte, 1); // async-signal-safe; a full pipe has said enough
}

} // namespace

TSignalExit::TSignalExit(std::function<void()> aOnSignal) : FOnSignal(std::move(aOnSignal)) {
  if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  FNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
  connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] {
    char FBytes[16];
    while (::read(SignalPipe[0], FBytes, sizeof FBytes) > 0) {
    }
    if (FOnSignal) FOnSignal();
  });
  struct sigaction FAction {};
  FAction.sa_handler = OnSignal;
  sigemptyset(&FAction.sa_mask);
  FAction.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &FAction, nullptr);
  ::sigaction(SIGINT, &FAction, nullptr);
}

TSignalExit::~TSignalExit() {
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  FNotifier.reset();
  for (int& FEnd : SignalPipe)
    if (FEnd >= 0) ::close(std::exchange(FEnd, -1));
}

} // namespace zelvo
