// The network side of the reference server: an acceptor, a pool of threads and one connection
// object per client, each carrying exactly one request.
//
// Every wait for the client (the request line, upload data, room to send) has a deadline: a
// connection idle for longer is closed. Request lines are capped; the number of connections at
// once is bounded (a connection past the bound is closed at once). Each connection runs on its
// own strand, so a slow or broken client holds up nobody else. SIGINT and SIGTERM stop the
// server: the acceptor closes and unfinished uploads are discarded.
// One line per request goes to stderr: time, peer, command, argument, outcome, bytes.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "server/RequestHandler.h"

namespace zelvo::server {

struct TServerOptions {
  std::string FListen = "127.0.0.1";
  uint16_t FPort = 8783;
  std::chrono::milliseconds FIdleTimeOut{30000};
  int FMaxConnections = 256;
  int FThreads = 4;
};

inline constexpr size_t kMaxRequestLine = 64 * 1024;

class TServer {
public:
  TServer(TServerOptions aOptions, TRequestHandler& aHandler); // binds and listens
  uint16_t Port() const { return FAcceptor.local_endpoint().port(); }
  void Run(); // until SIGINT or SIGTERM

  // Used by connections.
  TRequestHandler& Handler() { return FHandler; }
  const TServerOptions& Options() const { return FOptions; }
  std::atomic<int>& ActiveConnections() { return FActive; }
  void Log(const std::string& aPeer, const std::string& aCommand, const std::string& aArgument,
           const std::string& aOutcome, uint64_t aBytes);

private:
  asio::awaitable<void> Accept();

  TServerOptions FOptions;
  TRequestHandler& FHandler;
  asio::io_context FContext;
  asio::ip::tcp::acceptor FAcceptor;
  asio::signal_set FSignals;
  std::atomic<int> FActive{0};
  std::mutex FLogLock; // guards writes to stderr
};

} // namespace zelvo::server
