// What one mount works with: its server, its cache folder, its student. Made once at login (the
// shell reads it from the settings and the LOGIN reply) and handed to the facade, which gives it
// to its drive roots; every node finds it through its root. Never changed afterwards, so it is
// read from any thread without a lock.
#pragma once

#include <cstdint>
#include <string>

namespace zelvo {

struct TMountConfig {
  std::u16string FServer; // the logged-in server's host
  int32_t FPort = 0;
  int32_t FTimeOut = 0;        // milliseconds, connect and read time-out
  std::u16string FCacheDir;    // local, ending in "/"
  int32_t FRefreshSeconds = 0; // a listing older than this is fetched again (0: once per run)
  std::u16string FStudent;     // the user name: conflict copies carry it
  bool FConfirms = false;      // the server confirms every change (its LOGIN reply said so)
  std::u16string FRecovery;    // where changes refused for good are kept, ending in "/"
  bool FRanges = false;        // the server serves ranged reads (its LOGIN reply said so)
};

} // namespace zelvo
