// Runs work on the window thread on behalf of worker threads, and waits for it.
//
// A worker calls RunAndWait; the work is queued and the wake function (given at construction,
// called on the worker's thread) asks the window thread to call RunPending soon. The worker
// returns once the work has run (true) or once the dispatcher was closed (false: the work never
// runs). Close is called by the window thread before the window goes away; from then on no work
// runs, so a worker that is still waiting for its server can never touch the window.
// A front end without a window loop (a command-line tool, a test) calls WaitAndRunPending.
// FLock guards FQueue and FClosed; work never runs with FLock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace zelvo {

class TWindowDispatcher {
public:
  explicit TWindowDispatcher(std::function<void()> aWake = {});
  TWindowDispatcher(const TWindowDispatcher&) = delete;
  TWindowDispatcher& operator=(const TWindowDispatcher&) = delete;

  bool RunAndWait(std::function<void()> aWork); // any thread but the window thread
  void RunPending();                            // window thread
  // Window thread: runs what is queued, waiting up to aTimeOut for the first item.
  void WaitAndRunPending(std::chrono::milliseconds aTimeOut);
  void Close(); // window thread; pending and later work is cancelled

private:
  struct TCall {
    std::function<void()> FWork;
    enum class TState { Queued, Done, Cancelled } FState = TState::Queued;
  };

  std::function<void()> FWake;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<std::shared_ptr<TCall>> FQueue;
  bool FClosed = false;
};

} // namespace zelvo
