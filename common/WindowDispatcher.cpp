#include "common/WindowDispatcher.h"

namespace zelvo {

TWindowDispatcher::TWindowDispatcher(std::function<void()> aWake) : FWake(std::move(aWake)) {}

bool TWindowDispatcher::RunAndWait(std::function<void()> aWork) {
  auto FCall = std::make_shared<TCall>();
  FCall->FWork = std::move(aWork);
  {
    std::lock_guard FGuard(FLock);
    if (FClosed) return false;
    FQueue.push_back(FCall);
  }
  FChanged.notify_all();
  if (FWake) FWake();
  std::unique_lock FGuard(FLock);
  FChanged.wait(FGuard, [&] { return FCall->FState != TCall::TState::Queued; });
  return FCall->FState == TCall::TState::Done;
}

void TWindowDispatcher::RunPending() {
  for (;;) {
    std::shared_ptr<TCall> FCall;
    {
      std::lock_guard FGuard(FLock);
      if (FQueue.empty() || FClosed) return;
      FCall = std::move(FQueue.front());
      FQueue.pop_front();
    }
    FCall->FWork();
    {
      std::lock_guard FGuard(FLock);
      FCall->FState = TCall::TState::Done;
    }
    FChanged.notify_all();
  }
}

void TWindowDispatcher::WaitAndRunPending(std::chrono::milliseconds aTimeOut) {
  {
    std::unique_lock FGuard(FLock);
    FChanged.wait_for(FGuard, aTimeOut, [&] { return !FQueue.empty() || FClosed; });
  }
  RunPending();
}

void TWindowDispatcher::Close() {
  {
    std::lock_guard FGuard(FLock);
    FClosed = true;
    for (const auto& FCall : FQueue)
      FCall->FState = TCall::TState::Cancelled;
    FQueue.clear();
  }
  FChanged.notify_all();
}

} // namespace zelvo
