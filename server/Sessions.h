// What the server knows of who may do what, since the protocol carries no session and no
// password on file commands.
//
// Address sessions: a successful LOGIN opens a session of that class and user at the address it
// came from. It lasts while it is used (every allowed command renews it) and ends after the idle
// time. File commands from an address reach only the homes of the users with a session there,
// and (reads only) their classes' shares; CHGPSW needs a session of its user. Several users may
// have sessions at one address (a shared machine; students behind one NAT address share the
// scope of their sessions). Sessions are kept in the accounts database as well, so a restarted
// server still knows them; a renewal is written at most once a minute. A session ends early when
// its user logs out there (LOGOUT), when the user changes the password (every other session of
// theirs), or when an administrator sets it (every session: the database row goes, and a live
// session finds its row gone within kCheckEvery).
//
// Login throttle: failed LOGINs are counted per address and per user at an address; five within
// a minute pause further attempts from that address (or for that user there) for a time that
// doubles with each pause (30 s, then 1 min, ... up to an hour). Failures for a user across all
// addresses only slow attempts down: while there were five within a minute, that user's attempts
// from addresses without a recent success go at most once a second. An address where the user
// logged in within the trusted time (the session idle time) is never held back for that user,
// so nobody elsewhere can lock a student out. A success ends the counts of that address.
//
// Thread-safe: each class has one mutex over its tables (FLock).
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "server/Accounts.h"

namespace zelvo::server {

using TWallClock = std::chrono::system_clock;

class TSessions {
public:
  TSessions(TAccounts& aAccounts, std::chrono::milliseconds aIdle);

  void Open(const std::string& aAddress, const std::string& aClass, const std::string& aUser);
  // Whether aUser of aClass has a live session at aAddress; renews it.
  bool Use(const std::string& aAddress, const std::string& aClass, const std::string& aUser);
  // Whether any user of aClass has a live session at aAddress; renews it.
  bool UseClass(const std::string& aAddress, const std::string& aClass);
  // Whether any user has a live session at aAddress (nothing renewed).
  bool HasAt(const std::string& aAddress);
  // Ends the session of aUser at aAddress; whether there was one.
  bool End(const std::string& aAddress, const std::string& aClass, const std::string& aUser);
  // Ends every session of aUser except the one at aKeptAddress (empty: none kept).
  void EndOthers(const std::string& aClass, const std::string& aUser,
                 const std::string& aKeptAddress);

  static constexpr std::chrono::seconds kCheckEvery{5};

private:
  using TKey = std::tuple<std::string, std::string, std::string>; // address, class, user
  struct TSession {
    TWallClock::time_point FUsed;
    TWallClock::time_point FStored;  // when FUsed was last written to the database
    TWallClock::time_point FChecked; // when its row was last found in the database
  };
  // Renews FAt, or drops it when it has expired; whether it was live. FLock held.
  bool RenewLocked(std::map<TKey, TSession>::iterator aAt, TWallClock::time_point aNow);

  TAccounts& FAccounts;
  const std::chrono::milliseconds FIdle;
  std::mutex FLock; // guards FSessions
  std::map<TKey, TSession> FSessions;
};

class TLoginThrottle {
public:
  using TClock = std::chrono::steady_clock;

  explicit TLoginThrottle(std::chrono::milliseconds aTrusted = std::chrono::hours(12))
      : FTrusted(aTrusted) {}

  // How long this attempt must still wait; zero when it may go on (it then counts as the user's
  // attempt of this second).
  std::chrono::seconds Paused(const std::string& aAddress, const std::string& aUserKey,
                              TClock::time_point aNow);
  // Counts a failure; returns the pause it started (zero when none).
  std::chrono::seconds Failed(const std::string& aAddress, const std::string& aUserKey,
                              TClock::time_point aNow);
  void Succeeded(const std::string& aAddress, const std::string& aUserKey, TClock::time_point aNow);

  static constexpr int kFailures = 5;
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr std::chrono::seconds kFirstPause{30};
  static constexpr std::chrono::seconds kLongestPause{3600};
  static constexpr std::chrono::seconds kUserPace{1}; // one attempt per user while attacked

private:
  struct TCount {
    std::deque<TClock::time_point> FFailures; // within the last kWindow
    TClock::time_point FPausedUntil{};
    int FPauses = 0;
    TClock::time_point FLastAttempt{}; // a user's: the last attempt let through while attacked
  };
  // Counts a failure; with aPauses, five in the window start a pause (returned).
  std::chrono::seconds FailedLocked(TCount& aCount, TClock::time_point aNow, bool aPauses = true);
  static void DropOldFailures(TCount& aCount, TClock::time_point aNow); // outside kWindow
  bool AttackedLocked(const std::string& aUserKey, TClock::time_point aNow);
  bool TrustedLocked(const std::string& aAddress, const std::string& aUserKey,
                     TClock::time_point aNow) const;
  void ForgetStaleLocked(TClock::time_point aNow);

  const std::chrono::milliseconds FTrusted;
  std::mutex FLock; // guards FCounts and FSucceeded
  // "a " + address, "ua " + class/user + "|" + address, or "u " + class/user.
  std::map<std::string, TCount> FCounts;
  // When a user (class/user) last logged in from an address.
  std::map<std::pair<std::string, std::string>, TClock::time_point> FSucceeded;
};

} // namespace zelvo::server
