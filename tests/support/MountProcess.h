// "zelvo-cli mount" run as a real process for end-to-end tests: a private folder holds the
// mount points (mnt/Z, mnt/Y), the cache and the tool's log. The constructor waits for "ready";
// Stop sends SIGTERM and expects a clean exit; the destructor (the exit guard) always leaves no
// mount behind, whatever happened. A failing test names the log and the command.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

#include "tests/support/Shell.h"
#include "tests/support/TempDir.h"

namespace zelvo::test {

struct TMountSetup {
  std::string FClass = "一年级一班";
  std::string FUser = "张三";
  std::string FPassword = "zelvo123";
  std::filesystem::path FFolder;   // the mount points' folder; empty: a private one
  std::filesystem::path FCache;    // the cache folder; empty: a private one
  std::filesystem::path FRecovery; // --recovery; empty: a private one
  int FTimeOutMs = 10000;
  int FRefreshSeconds = 30; // --refresh
  bool FExpectReady = true; // false: a test of a mount that must not start
};

class TMountProcess {
public:
  TMountProcess(uint16_t aPort, const std::string& aClass = "一年级一班",
                const std::string& aUser = "张三", const std::string& aPassword = "zelvo123",
                const std::filesystem::path& aFolder = {});
  TMountProcess(uint16_t aPort, const TMountSetup& aSetup);
  TMountProcess(const TMountProcess&) = delete;
  TMountProcess& operator=(const TMountProcess&) = delete;
  ~TMountProcess();

  bool Ready() const { return FReady; }
  std::filesystem::path Own() const { return FMountDir / "Z"; }
  std::filesystem::path Shared() const { return FMountDir / "Y"; }
  std::filesystem::path Recovery() const { return FRecovery; }
  std::string Log() const;
  std::string Command() const { return FCommand; }
  pid_t Pid() const { return FPid; }
  // SIGTERM; returns the exit status (-1 when it had to be killed).
  int Stop();
  // SIGKILL, leaving the mounts behind as a crash would.
  void Crash();

private:
  TTempDir FDir;
  std::filesystem::path FMountDir;
  std::filesystem::path FRecovery;
  std::string FCommand;
  pid_t FPid = -1;
  bool FReady = false;
};

} // namespace zelvo::test
