#include "drive/TransferObserver.h"

#include <atomic>
#include <chrono>

namespace zelvo {
namespace {

TTransferObserver Silent;
std::atomic<TTransferObserver*> Current{&Silent};
std::atomic<uint64_t> LastId{0};

} // namespace

bool TProgressPace::Due() {
  const int64_t FNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
  if (FNow - FLastMs < 200) return false;
  FLastMs = FNow;
  return true;
}

void SetTransferObserver(TTransferObserver* aObserver) {
  Current = aObserver ? aObserver : &Silent;
}

TTransferObserver& Transfers() {
  return *Current.load();
}

uint64_t NewTransferId() {
  return ++LastId;
}

} // namespace zelvo
