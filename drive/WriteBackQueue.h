// The write-back queue: the one owner of a session's pending changes (the journal's entries of
// one server, host and port, below the student's own root), which it sends again until each has
// arrived or is given up.
//
// Rules, per entry:
//   - one try at a time, entries one after another (one server, one sender);
//   - a try that did not reach the server ("not now": unreachable, time-out, busy) waits 0.5 s,
//     doubling to 60 s, and is tried without limit; the entries after it in that round wait
//     for the next round (the server does not answer);
//   - a refusal (no such folder, a name or path the server cannot take, no session, the
//     server's disk full) counts; at the third the change is given up: TGiveUp keeps its
//     content for the student elsewhere and takes it out of the journal; a count below that
//     waits like "not now";
//   - a file open here is sent by its own close: it is looked at again after 0.5 s;
//   - the count and the last outcome are kept in the journal, so a restart does not start over.
// The sender (TTry) does one send with whatever locks it needs and takes the entry out of the
// journal when it arrived; the queue itself holds no lock of the tree.
//
// Threads: RunDue from one thread at a time (the queue's own, or a test's); Start runs it on a
// thread of the queue's own until Stop (or destruction). FLock guards FSchedule.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "tree/PendingJournal.h"

namespace zelvo {

// What one try of a pending change came to.
enum class TTryKind {
  Sent,    // the server has it (or nothing is left to send)
  NotNow,  // not delivered: the server did not answer, or was busy
  Refused, // the server refused it
  Full,    // the server refused it: its disk is full
  Held     // open here: its close sends it
};

struct TTryOutcome {
  TTryKind FKind = TTryKind::NotNow;
  std::u16string FText; // as the server or the exchange put it, for the journal and the student
};

class TWriteBackQueue {
public:
  using TClock = std::chrono::steady_clock;
  using TTry = std::function<TTryOutcome(const TPendingEntry&)>;
  // Gives a change up (its last outcome filled in); false when its content could not be kept
  // elsewhere: then it stays in the journal and is tried again after the longest wait.
  using TGiveUp = std::function<bool(const TPendingEntry&)>;

  static constexpr std::chrono::milliseconds kFirstDelay{500};
  static constexpr std::chrono::seconds kLastDelay{60};
  static constexpr int kMaxRefusals = 3;

  TWriteBackQueue(std::u16string aServer, int32_t aPort, std::u16string aRoot,
                  TPendingJournal& aJournal, TTry aTry, TGiveUp aGiveUp);
  TWriteBackQueue(const TWriteBackQueue&) = delete;
  TWriteBackQueue& operator=(const TWriteBackQueue&) = delete;
  ~TWriteBackQueue() { Stop(); }

  // One round: tries each entry that is due at aNow. Gives when the next one is due
  // (TClock::time_point::max() when none waits).
  TClock::time_point RunDue(TClock::time_point aNow);
  // The changes of this session that wait.
  std::vector<TPendingEntry> Waiting() const;

  void Start();
  void Stop();

private:
  struct TSchedule {
    TClock::time_point FNext{};
    TClock::duration FDelay = kFirstDelay;
  };
  void Loop(std::stop_token aStop);
  // After a try: the entry's next time, its count, or its end.
  void Settle(const TPendingEntry& aEntry, const TTryOutcome& aOutcome, TSchedule& aSchedule,
              TClock::time_point aNow);
  static void Postpone(TSchedule& aSchedule, TClock::time_point aNow);

  const std::u16string FServer;
  const int32_t FPort;
  const std::u16string FRoot;
  TPendingJournal& FJournal;
  const TTry FTry;
  const TGiveUp FGiveUp;
  std::mutex FLock;                              // guards FSchedule
  std::map<std::u16string, TSchedule> FSchedule; // by full name
  std::mutex FWaitLock;                          // only for FWake's waits
  std::condition_variable_any FWake;
  std::jthread FThread; // last: stopped and joined before the rest goes
};

} // namespace zelvo
