// SIGTERM and SIGINT of the window program as a call on the window thread, so they end it the
// way 退出 does (drives unmounted, never left stale). The handler only writes a byte to a pipe
// that a QSocketNotifier of the window thread watches. One object at a time; its destruction
// restores the default handlers.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace zelvo {

class TSignalExit final : public QObject {
public:
  explicit TSignalExit(std::function<void()> aOnSignal);
  TSignalExit(const TSignalExit&) = delete;
  TSignalExit& operator=(const TSignalExit&) = delete;
  ~TSignalExit() override;

private:
  std::function<void()> FOnSignal;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace zelvo
