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
// Login throttle: failed LOGINs are counted per address and per user; five within a minute
// pause further attempts from that address (or for that user) for a time that doubles with each
// pause (30 s, then 1 min, ... up to an hour); a success ends the count of both.
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

  // How long attempts of this address or user are still paused; zero when they may go on.
  std::chrono::seconds Paused(const std::string& aAddress, const std::string& aUserKey,
                              TClock::time_point aNow);
  // Counts a failure; returns the pause it started (zero when none).
  std::chrono::seconds Failed(const std::string& aAddress, const std::string& aUserKey,
                              TClock::time_point aNow);
  void Succeeded(const std::string& aAddress, const std::string& aUserKey);

  static constexpr int kFailures = 5;
  static constexpr std::chrono::seconds kWindow{60};
  static constexpr std::chrono::seconds kFirstPause{30};
  static constexpr std::chrono::seconds kLongestPause{3600};

private:
  struct TCount {
    std::deque<TClock::time_point> FFailures; // within the last kWindow
    TClock::time_point FPausedUntil{};
    int FPauses = 0;
  };
  std::chrono::seconds FailedLocked(TCount& aCount, TClock::time_point aNow);
  void ForgetStaleLocked(TClock::time_point aNow);

  std::mutex FLock;                      // guards FCounts
  std::map<std::string, TCount> FCounts; // "a " + address, or "u " + class/user
};

} // namespace zelvo::server
