// One running copy per user session: the run-once record and the wake of the first copy.
//
// The record is an 8-byte file in the session's runtime folder ($XDG_RUNTIME_DIR, else a
// private folder in /tmp) named "{YunDiskClientMapFile-20190501}": AppHandle (bytes 0-3, the
// first copy's process id) and MainFormHandle (bytes 4-7, nonzero once its login window exists),
// little-endian. The first copy holds an exclusive lock on the record for its whole life; the
// system drops the lock when the process ends, however it ends, so a crashed copy never blocks
// a later start. A second copy asks the first, over a local socket beside the record, to
// restore itself and show its login window, waits until that has been handled, and exits.
// Window thread only.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

namespace zelvo {

class TRunOnce : public QObject {
  Q_OBJECT

public:
  // aFolder: where the record lives (empty: the session's runtime folder).
  explicit TRunOnce(QString aFolder = {});
  ~TRunOnce() override;

  // Opens or creates the record; false when there is none (the program then runs unguarded).
  bool OpenRunOnceMap();
  // True when another copy is recorded (and has just been woken); false for the first copy,
  // which from now on answers wakes by calling aOnRestore.
  bool AlreadyRunning(std::function<void()> aOnRestore);
  void SaveMainFormHandle(uint32_t aHandle);
  void CloseRunOnceMap();

  uint32_t AppHandle() const;
  uint32_t MainFormHandle() const;
  static QString RuntimeFolder();

private:
  void Serve();

  QString FFolder;
  int FFd = -1;
  uint8_t* FView = nullptr;
  QLocalServer FServer;
  std::function<void()> FOnRestore;
};

} // namespace zelvo
