// The network side of the reference server: an acceptor, a pool of threads and one connection
// object per client, each carrying exactly one request.
//
// Every wait for the client (the request line, upload data, room to send) has a deadline: the
// request line must come within kFirstLineTime, a connection idle for longer is closed, and an
// upload must also keep a minimum average rate after its first seconds or it is cut and dropped.
// Request lines are capped; the number of connections at once is bounded in all and per address (a
// connection past either bound is refused), so one address never takes every slot, and a quarter of
// them is kept for addresses with a session, so strangers never take every slot a logged-in student
// needs. A refused connection's request line is still read for a moment, so that a change command
// hears "refused (busy)" (or "refused (too many connections from this address)") instead of a close
// its client could take for success; a bounded number of such refusals run at once, past it the
// connection is closed unread. Each connection runs on its own strand, so a slow or broken client
// holds up nobody else; LOGIN and CHGPSW, which hash passwords, run on a small pool of their own,
// so a login flood leaves the other commands fast; one that waited there longer than
// kLongestHashWait is turned away unchecked. SIGINT and SIGTERM stop the server: the acceptor
// closes and unfinished uploads are discarded. One line per request goes to stderr: time, peer,
// command, "argument", outcome, bytes; each field is cut at 512 bytes ("…(<length> bytes)"
// follows), and control characters, the quote, and the characters that break or reorder lines
// (U+0085, U+2028, U+2029, U+202A-U+202E, U+2066-U+2069) are escaped as their bytes ("\x0A"), so no
// request can forge or hide a line, and a request logs little more than itself.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "server/RequestHandler.h"

namespace zelvo::server {

struct TServerOptions {
  std::string FListen = "127.0.0.1";
  uint16_t FPort = 8783;
  std::chrono::milliseconds FIdleTimeOut{30000};
  int FMaxConnections = 256;
  int FMaxConnectionsPerAddress = 32;
  int FThreads = 4;
  int FHashThreads = 0;                 // password checks at once; 0: half the cores
  int64_t FMinUploadRate = 64 * 1024;   // bytes per second, on average
  std::chrono::seconds FUploadGrace{5}; // before the rate counts
};

inline constexpr size_t kMaxRequestLine = 64 * 1024;
// The request line must arrive this soon after the connect (or within the idle time-out when that
// is shorter).
inline constexpr std::chrono::seconds kFirstLineTime{5};
// A LOGIN or CHGPSW that waited this long for a password check is turned away unchecked: its
// client (which waits about 12 s) has given up, and a morning's storm drains instead of hashing
// for nobody.
inline constexpr std::chrono::seconds kLongestHashWait{10};
// One slot in kReservedShare is kept for addresses that have a session.
inline constexpr int kReservedShare = 4;

// The line of password checks. One that could not start within 3/4 of kLongestHashWait, at the
// pace checks have been taking, is turned away at once: in a morning's storm the line stays short
// and those in it are served in time, instead of every one waiting out the bound. Lock-free; the
// estimate is approximate by design.
class THashLine {
public:
  explicit THashLine(size_t aThreads) : FThreads(static_cast<int64_t>(aThreads)) {}
  bool Join();                // false: turned away
  void Left() { --FWaiting; } // a thread took it
  void Took(std::chrono::steady_clock::duration aTook);

private:
  const int64_t FThreads;
  std::atomic<int64_t> FWaiting{0};
  std::atomic<int64_t> FMicros{100'000}; // a moving average of recent checks
};

class TServer {
public:
  TServer(TServerOptions aOptions, TRequestHandler& aHandler); // binds and listens
  uint16_t Port() const { return FAcceptor.local_endpoint().port(); }
  void Run(); // until SIGINT or SIGTERM

  // Used by connections.
  TRequestHandler& Handler() { return FHandler; }
  const TServerOptions& Options() const { return FOptions; }
  std::atomic<int>& ActiveConnections() { return FActive; }
  asio::thread_pool& HashPool() { return FHashPool; }
  THashLine& HashLine() { return FHashLine; }
  // A connection from aAddress begins (false: that address has its share already) or ends.
  bool Enter(const std::string& aAddress);
  void Left(const std::string& aAddress);
  void Log(const std::string& aPeer, const std::string& aCommand, const std::string& aArgument,
           const std::string& aOutcome, uint64_t aBytes);

private:
  asio::awaitable<void> Accept();
  // A connection past a bound: answered (change commands) and closed; not counted as active.
  void Refuse(asio::ip::tcp::socket aSocket, const std::string& aAddress,
              const std::string& aOutcome);
  asio::awaitable<void> AnswerRefused(asio::ip::tcp::socket aSocket, std::string aAddress,
                                      std::string aOutcome);
  static constexpr int kMaxRefusing = 64;
  static constexpr std::chrono::seconds kRefusalWait{2};

  TServerOptions FOptions;
  TRequestHandler& FHandler;
  // Before the context: connections still queued in it leave these when it is destroyed.
  std::atomic<int> FActive{0};
  std::atomic<int> FRefusing{0}; // refused connections still being answered
  std::mutex FAddressLock;       // guards FPerAddress
  std::map<std::string, int> FPerAddress;
  size_t FHashThreads;
  THashLine FHashLine;
  asio::io_context FContext;
  // After the context, so it goes first: password checks still queued in it at the end hold
  // work of the context's strands, which must outlive them.
  asio::thread_pool FHashPool; // stopped and joined when Run ends
  asio::ip::tcp::acceptor FAcceptor;
  asio::signal_set FSignals;
  std::mutex FLogLock; // guards writes to stderr
};

} // namespace zelvo::server
