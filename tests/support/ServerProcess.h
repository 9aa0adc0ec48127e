// The reference server run as a real process for tests: a private data folder, a free port on
// a loopback address, the request log kept in the folder. Stopping it (or the destructor) sends
// SIGTERM, waits for the exit with a deadline, and fails the test when the server exited badly
// or its log holds a sanitizer report.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TempDir.h"

namespace zelvo::test {

struct TServerSetup {
  bool FDemo = true;
  std::string FListen = "127.0.0.1";
  uint16_t FPort = 0; // 0: a free port
  int FIdleTimeOutMs = 30000;
  int FMaxConnections = 256;
  std::vector<std::string> FExtraArgs; // more options of "serve"
};

class TServerProcess {
public:
  explicit TServerProcess(TServerSetup aSetup = {});
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;
  ~TServerProcess();

  uint16_t Port() const { return FPort; }
  const std::filesystem::path& Folder() const { return FDir.Path(); }
  std::filesystem::path Storage() const { return FDir.Path() / "storage"; }
  std::string Log() const { return FDir.ReadFile("server.log"); }
  void Stop();
  // Ends it with SIGKILL, as a crash or a machine's end would (no exit checks).
  void Kill();
  // Starts it again after Stop, on the same port and data folder (the log goes on).
  void Start();

  // Runs "zelvo-server ARGS" with aInput on standard input; returns its exit status.
  pid_t Pid() const { return FPid; }
  static int RunTool(const std::string& aArgs, const std::string& aInput = "",
                     std::string* aOutput = nullptr);

private:
  TTempDir FDir;
  TServerSetup FSetup;
  pid_t FPid = -1;
  uint16_t FPort = 0;
};

} // namespace zelvo::test
