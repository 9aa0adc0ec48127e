// The server's guard, tried as outsiders on the same network would: raw protocol connections
// from chosen loopback addresses (each 127.0.0.x is another machine), against the real server.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;
using test::TPeerEnd;
using test::TRawPeer;
using test::TServerProcess;
namespace fs = std::filesystem;

const std::string kHome = "\\home\\一年级一班\\张三";
const std::string kOther = "\\home\\一年级一班\\李四";
const std::string kShare = "\\share\\一年级一班";

// The text reply of a change command ("OK" or the refusal), or "<closed>" for a plain close.
std::string Confirmation(const std::string& aReply) {
  if (aReply.size() <= 4 + 3) return aReply.empty() ? "<closed>" : "<empty>";
  std::string FText = aReply.substr(4 + 3); // count, byte-order mark
  return FText.substr(0, FText.find("\r\n"));
}

class GuardTest : public ::testing::Test {
protected:
  std::string Request(const std::string& aSource, const std::string& aLine,
                      const std::string& aBody = "") {
    return TRawPeer::Exchange(FServer.Port(), aLine, aSource, aBody);
  }
  // Whether each kind of request from aSource reaches the server path aPath (a file there).
  struct TReach {
    bool FList, FGet, FPut, FMkdir, FMove, FDelete;
    bool operator==(const TReach&) const = default;
  };
  TReach Reach(const std::string& aSource, const std::string& aFolder) {
    TReach FReach{};
    FReach.FList = Request(aSource, "LIST " + aFolder + "\\*").size() > 4;
    FReach.FGet = Request(aSource, "GET " + aFolder + "\\课程表.txt").size() > 4 ||
                  Request(aSource, "GET " + aFolder + "\\欢迎使用.txt").size() > 4;
    FReach.FPut =
        Confirmation(Request(aSource, "PUT " + aFolder + "\\new.txt", test::CountedBlock("x")))
            .starts_with("OK ");
    FReach.FMkdir = Confirmation(Request(aSource, "MKDIR " + aFolder + "\\d")) == "OK";
    FReach.FMove =
        Confirmation(Request(aSource, "MOVE " + aFolder + "\\d|" + aFolder + "\\e")) == "OK";
    FReach.FDelete = Confirmation(Request(aSource, "DELETE " + aFolder + "\\e")) == "OK";
    return FReach;
  }
  bool LogIn(const std::string& aSource, const std::string& aUser) {
    return test::LogIn(FServer.Port(), "一年级一班", aUser, aSource);
  }

  TServerProcess FServer;
};

// Sessions end before their idle time: a log-out ends its own, a password change every other one
// of its user, an administrator's change every one.
TEST_F(GuardTest, SessionsEndWithALogOutOrAPasswordChange) {
  const auto FReads = [&](const std::string& aSource) {
    return Request(aSource, "GET " + kHome + "\\欢迎使用.txt").size() > 4;
  };
  for (const char* FSource : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
    ASSERT_TRUE(LogIn(FSource, "张三"));
  EXPECT_EQ(Confirmation(Request("127.0.0.4", "LOGOUT 一年级一班 张三")), "OK");
  EXPECT_FALSE(FReads("127.0.0.4"));
  EXPECT_EQ(Confirmation(Request("127.0.0.4", "LOGOUT 一年级一班 张三")), "refused (no session)");
  EXPECT_TRUE(FReads("127.0.0.3"));

  EXPECT_EQ(Confirmation(Request("127.0.0.2", "CHGPSW 一年级一班(h) 张三 newpass")), "OK");
  EXPECT_TRUE(FReads("127.0.0.2")) << "the session that changed it stays";
  EXPECT_FALSE(FReads("127.0.0.3"));

  ASSERT_EQ(
      TServerProcess::RunTool("set-password " + FServer.Folder().string() + " 一年级一班 张三",
                              "reset by the teacher\n"),
      0);
  EXPECT_TRUE(test::WaitUntil([&] { return !FReads("127.0.0.2"); }))
      << "a running server notices the administrator's change";
}

// The kilobytes of memory a process has used at most (VmHWM).
int64_t PeakKiB(pid_t aPid) {
  std::ifstream FStatus("/proc/" + std::to_string(aPid) + "/status");
  for (std::string FLine; std::getline(FStatus, FLine);)
    if (FLine.starts_with("VmHWM:")) return std::stoll(FLine.substr(6));
  return -1;
}

// Eight listings of a 200,000-entry folder at once (118 MB each): each goes out from a file as it
// is read, so the server's memory stays far below one reply.
TEST(GuardMemoryTest, BigListingsStreamInBoundedMemory) {
  // A sanitizer's quarantine of freed memory would count as the server's own: kept small here.
  const std::string FOld = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  ::setenv("ASAN_OPTIONS", (FOld + ":quarantine_size_mb=16").c_str(), 1);
  // Eight 118 MB listings written out at once take a loaded machine's disk a while before the
  // first byte goes: the waits are for a fault, not for a slow disk.
  TServerProcess FServer({.FIdleTimeOutMs = 180000});
  ::setenv("ASAN_OPTIONS", FOld.c_str(), 1);
  const fs::path FFolder = FServer.Storage() / "home/一年级一班/张三/big";
  fs::create_directory(FFolder);
  constexpr int kEntries = 200000;
  for (int i = 0; i < kEntries; ++i)
    ::close(::open((FFolder / ("file" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三", "127.0.0.2"));
  std::vector<std::thread> FReaders;
  std::atomic<int> FWhole = 0;
  for (int i = 0; i < 8; ++i)
    FReaders.emplace_back([&] {
      TRawPeer FPeer(FServer.Port(), "127.0.0.2");
      FPeer.Send("LIST " + kHome + "\\big\\*\r\n");
      uint64_t FBytes = 0;
      TPeerEnd FEnd = TPeerEnd::TimedOut;
      while (FEnd != TPeerEnd::Closed) {
        const std::string FPiece = FPeer.Receive(1 << 20, 180000, &FEnd);
        if (FPiece.empty() && FEnd != TPeerEnd::Closed) break;
        FBytes += FPiece.size();
      }
      if (FBytes == 4 + uint64_t{kEntries + 2} * 592) ++FWhole;
    });
  for (auto& FReader : FReaders)
    FReader.join();
  EXPECT_EQ(FWhole, 8);
  const int64_t FPeak = PeakKiB(FServer.Pid());
  EXPECT_LT(FPeak, 200 * 1024);
  std::cout << "server peak during 8 listings of 200,000 entries: " << FPeak / 1024 << " MB\n";
}

TEST_F(GuardTest, FilesAreReachedOnlyFromAddressesWithASession) {
  ASSERT_TRUE(LogIn("127.0.0.3", "张三"));
  constexpr TReach kAll{true, true, true, true, true, true};
  constexpr TReach kNone{false, false, false, false, false, false};
  constexpr TReach kRead{true, true, false, false, false, false};
  struct TCase {
    const char* FWhat;
    std::string FSource;
    std::string FFolder;
    TReach FReach;
  } const FCases[] = {
      {"no session: own home", "127.0.0.2", kHome, kNone},
      {"no session: share", "127.0.0.2", kShare, kNone},
      {"session: own home", "127.0.0.3", kHome, kAll},
      {"session: another student's home", "127.0.0.3", kOther, kNone},
      {"session: the class's share, read only", "127.0.0.3", kShare, kRead},
      {"session: another class's share", "127.0.0.3", "\\share\\一年级二班", kNone},
  };
  for (const auto& FCase : FCases)
    EXPECT_EQ(Reach(FCase.FSource, FCase.FFolder), FCase.FReach) << FCase.FWhat;
  EXPECT_FALSE(fs::exists(FServer.Storage() / "home/一年级一班/李四/new.txt"));

  // A password is changed only by its own student's session.
  EXPECT_EQ(Confirmation(Request("127.0.0.2", "CHGPSW 一年级一班(h) 张三 stolen")),
            "refused (no session)");
  EXPECT_EQ(Confirmation(Request("127.0.0.3", "CHGPSW 一年级一班(h) 李四 stolen")),
            "refused (no session)");
  EXPECT_EQ(Confirmation(Request("127.0.0.3", "CHGPSW 一年级一班(h) 张三 mine")), "OK");
  EXPECT_NE(FServer.Log().find("refused (no session)"), std::string::npos);

  // Two students at one machine: each reaches their own home.
  ASSERT_TRUE(LogIn("127.0.0.3", "李四"));
  EXPECT_EQ(Reach("127.0.0.3", kOther), kAll);
}

TEST_F(GuardTest, SessionsOutliveARestartAndEndWhenIdle) {
  TServerProcess FShort({.FExtraArgs = {"--session-idle-hours", "0.0005"}}); // 1.8 s
  ASSERT_TRUE(test::LogIn(FShort.Port(), "一年级一班", "张三", "127.0.0.4"));
  FShort.Stop();
  FShort.Start();
  const std::string FGet = "GET " + kHome + "\\欢迎使用.txt";
  EXPECT_GT(TRawPeer::Exchange(FShort.Port(), FGet, "127.0.0.4").size(), 4u) << "kept";
  std::this_thread::sleep_for(1s);
  EXPECT_GT(TRawPeer::Exchange(FShort.Port(), FGet, "127.0.0.4").size(), 4u) << "renewed";
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(TRawPeer::Exchange(FShort.Port(), FGet, "127.0.0.4"), "") << "ended when idle";
}

TEST(GuardOpenAccessTest, OpenAccessNeedsNoSession) {
  TServerProcess FServer({.FExtraArgs = {"--open-access"}});
  EXPECT_GT(
      TRawPeer::Exchange(FServer.Port(), "GET " + kHome + "\\欢迎使用.txt", "127.0.0.2").size(),
      4u);
}

TEST_F(GuardTest, TheLogCannotBeForgedAndHoldsNoPassword) {
  Request("127.0.0.2", "GET \\home\\x\n2026-01-01 00:00:00.000 1.2.3.4:5 LOGIN forged ok 0");
  Request("127.0.0.2", "LOGIN 一年级一班张三zelvo123");
  Request("127.0.0.2", "LOGIN 一年级一班 张三zelvo123");
  Request("127.0.0.2", "LOGIN 一年级一班 张三zelvo123 more words");
  Request("127.0.0.2", "CHGPSW 一年级一班(h) 张三 secret\rword");
  test::WaitUntil([&] { return FServer.Log().find("CHGPSW") != std::string::npos; });
  const std::string FLog = FServer.Log();
  EXPECT_EQ(FLog.find("\n2026-01-01"), std::string::npos) << FLog;
  EXPECT_NE(FLog.find("\\x0A2026-01-01"), std::string::npos) << FLog;
  EXPECT_EQ(FLog.find("zelvo123"), std::string::npos) << FLog;
  EXPECT_EQ(FLog.find("secret"), std::string::npos) << FLog;
  EXPECT_NE(FLog.find("LOGIN \"malformed\""), std::string::npos) << FLog;
  EXPECT_NE(FLog.find("LOGIN \"一年级一班 (unknown user)\""), std::string::npos) << FLog;
}

// A log line is a small multiple of its request at most, and characters that break or reorder
// lines, or a quote, cannot make it look like another line or shift its fields.
TEST_F(GuardTest, TheLogStaysSmallAndItsFieldsInPlace) {
  const auto FLines = [&] {
    const std::string FLog = FServer.Log();
    return std::count(FLog.begin(), FLog.end(), '\n');
  };
  const auto FBefore = FServer.Log().size();
  Request("127.0.0.2", "GET " + std::string(64 * 1024 - 8, '\x01'));
  ASSERT_TRUE(test::WaitUntil([&] { return FServer.Log().find("bytes)") != std::string::npos; }));
  EXPECT_LT(FServer.Log().size() - FBefore, 4096u);
  EXPECT_NE(FServer.Log().find("…(65528 bytes)"), std::string::npos);

  const long FLinesBefore = FLines();
  Request("127.0.0.2", "GET \\home\\a\u2028b\u202Ec\u0085d \"x\" refused 0");
  ASSERT_TRUE(test::WaitUntil([&] { return FLines() == FLinesBefore + 1; }));
  const std::string FLog = FServer.Log();
  EXPECT_NE(
      FLog.find("\"\\home\\a\\xE2\\x80\\xA8b\\xE2\\x80\\xAEc\\xC2\\x85d \\x22x\\x22 refused 0\""),
      std::string::npos)
      << FLog;
}

TEST_F(GuardTest, IdleConnectionsOfOneAddressLeaveRoomForOthers) {
  std::vector<std::unique_ptr<TRawPeer>> FIdle;
  for (int i = 0; i < 300; ++i)
    FIdle.push_back(std::make_unique<TRawPeer>(FServer.Port(), "127.0.0.5"));
  const auto FStart = std::chrono::steady_clock::now();
  EXPECT_GT(Request("127.0.0.6", "GLIST").size(), 4u);
  EXPECT_LT(std::chrono::steady_clock::now() - FStart, 1s);
  EXPECT_NE(FServer.Log().find("too many connections from this address"), std::string::npos);
}

// Strangers holding every slot they can get, from eight addresses: a student with a session is
// still served every time, and a connection that never sends its line is cut within seconds.
TEST_F(GuardTest, IdleStrangersLeaveSlotsForStudents) {
  ASSERT_TRUE(LogIn("127.0.0.30", "张三"));
  std::vector<std::unique_ptr<TRawPeer>> FIdle;
  for (int FAddress = 0; FAddress < 8; ++FAddress)
    for (int i = 0; i < 32; ++i)
      FIdle.push_back(
          std::make_unique<TRawPeer>(FServer.Port(), "127.0.0." + std::to_string(40 + FAddress)));
  // Every slot open to strangers is taken once a ninth stranger hears "busy".
  ASSERT_TRUE(test::WaitUntil([&] {
    return Confirmation(Request("127.0.0.60", "MKDIR " + kHome + "\\x")) == "refused (busy)";
  }));
  for (int i = 0; i < 20; ++i)
    EXPECT_GT(Request("127.0.0.30", "GET " + kHome + "\\欢迎使用.txt").size(), 4u) << i;
  TPeerEnd FEnd = TPeerEnd::TimedOut;
  FIdle.front()->Receive(1, 20000, &FEnd);
  EXPECT_EQ(FEnd, TPeerEnd::Closed) << "a connection without a request line is cut";
}

TEST_F(GuardTest, LoginFloodIsPausedAndOthersStayFast) {
  std::atomic<bool> FStop = false;
  std::vector<std::thread> FFlood;
  for (int i = 0; i < 8; ++i)
    FFlood.emplace_back([&] {
      for (int j = 0; j < 10 && !FStop; ++j)
        Request("127.0.0.7", "LOGIN 一年级一班 王五 guess" + std::to_string(j));
    });
  auto FSlowest = 0ms;
  for (int i = 0; i < 20; ++i) {
    const auto FStart = std::chrono::steady_clock::now();
    EXPECT_GT(Request("127.0.0.8", "GLIST").size(), 4u);
    FSlowest = std::max(FSlowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - FStart));
    std::this_thread::sleep_for(20ms);
  }
  FStop = true;
  for (auto& FThread : FFlood)
    FThread.join();
  EXPECT_LT(FSlowest, 100ms);
  const std::string FLog = FServer.Log();
  EXPECT_NE(FLog.find("further attempts paused for 30 s"), std::string::npos) << FLog;
  EXPECT_NE(FLog.find("refused (login attempts paused"), std::string::npos) << FLog;
  // The right password waits too at the flooding address; from elsewhere the user is only slowed
  // (an attempt a second), never locked out.
  EXPECT_FALSE(LogIn("127.0.0.7", "王五"));
  EXPECT_TRUE(test::WaitUntil([&] { return LogIn("127.0.0.9", "王五"); }));
  EXPECT_TRUE(LogIn("127.0.0.9", "张三"));
}

// The morning storm: for ten seconds a hundred students a second log in, each from a computer of
// its own, while one password is checked at a time. Each is answered: let in, or closed unchecked
// and logged as busy (at once when the line is full, or after waiting past a client's patience);
// none is cut while it waits in line, many longer than the request line's deadline.
TEST(GuardStormTest, QueuedLoginsAreAnsweredOrTurnedAwayUnchecked) {
  TServerProcess FServer({.FMaxConnections = 2048, .FExtraArgs = {"--hash-threads", "1"}});
  constexpr int kStudents = 1000;
  std::atomic<int> FIn = 0;
  std::atomic<int> FInLate = 0; // let in after waiting longer than the request line may take
  std::vector<std::thread> FStudents;
  const auto FStart = std::chrono::steady_clock::now();
  for (int i = 0; i < kStudents; ++i) {
    std::this_thread::sleep_until(FStart + i * 10ms);
    FStudents.emplace_back([&, i] {
      const auto FSent = std::chrono::steady_clock::now();
      TRawPeer FPeer(FServer.Port(),
                     "127.0." + std::to_string(4 + i / 250) + "." + std::to_string(1 + i % 250));
      FPeer.Send("LOGIN 一年级一班 张三 zelvo123\r\n");
      if (FPeer.ReceiveAll(30000).find("\\home\\") == std::string::npos) return;
      ++FIn;
      if (std::chrono::steady_clock::now() - FSent > 6s) ++FInLate;
    });
  }
  for (auto& FStudent : FStudents)
    FStudent.join();
  const std::string FLog = FServer.Log();
  const auto Count = [&](const std::string& aText) {
    size_t FCount = 0;
    for (size_t FAt = 0; (FAt = FLog.find(aText, FAt)) != std::string::npos; ++FAt)
      ++FCount;
    return static_cast<int>(FCount);
  };
  EXPECT_EQ(Count(" LOGIN \"一年级一班 张三\" ok "), FIn.load());
  EXPECT_EQ(Count(" LOGIN \"\" refused (busy) "), kStudents - FIn);
  EXPECT_EQ(Count(" LOGIN \"一年级一班 张三\" failed"), 0) << FLog;
  EXPECT_GT(FIn, 0);
  EXPECT_GT(FInLate, 0) << "no login waited in line long enough to show anything";
}

// Forty addresses guessing one student's password: the first is paused by its own failures, then
// guesses for her from anywhere go one a second; she is only slowed down elsewhere, and from her
// own address (where she logged in) always gets in.
TEST_F(GuardTest, LockoutsCannotBeAimedAtAStudent) {
  ASSERT_TRUE(LogIn("127.0.0.2", "张三"));
  for (int FAddress = 0; FAddress < 40; ++FAddress)
    for (int i = 0; i < 6; ++i)
      Request("127.0.1." + std::to_string(FAddress + 10),
              "LOGIN 一年级一班 张三 guess" + std::to_string(i));
  const std::string FLog = FServer.Log();
  EXPECT_NE(FLog.find("further attempts paused for 30 s"), std::string::npos) << FLog;
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(LogIn("127.0.0.2", "张三")) << i;
  // The first address guessed five times before the others slowed the user down: paused.
  EXPECT_FALSE(LogIn("127.0.1.10", "张三")) << "the first guessing address is still paused";
  EXPECT_TRUE(test::WaitUntil([&] { return LogIn("127.0.0.3", "张三"); }))
      << "a new address waits a second at most";
}

// Slow from the first byte, or after a fast start (which banks no lasting credit): cut, dropped,
// and logged with the bytes that arrived.
TEST_F(GuardTest, SlowUploadIsCut) {
  ASSERT_TRUE(LogIn("127.0.0.1", "张三"));
  for (const size_t FFastStart : {size_t{0}, size_t{4} << 20}) {
    SCOPED_TRACE(FFastStart);
    const std::string FName = "slow" + std::to_string(FFastStart) + ".bin";
    TRawPeer FPeer(FServer.Port());
    ASSERT_TRUE(FPeer.Send("PUT " + kHome + "\\" + FName + "\r\n" + std::string("\0\x80\0\0", 4) +
                           std::string(FFastStart, 'f')));
    const auto FStart = std::chrono::steady_clock::now();
    // Then 1 KiB every half second: far below the minimum rate.
    TPeerEnd FEnd = TPeerEnd::TimedOut;
    for (int i = 0; i < 60 && FEnd != TPeerEnd::Closed && FPeer.Send(std::string(1024, 'x')); ++i)
      FPeer.Receive(1, 500, &FEnd);
    if (FEnd != TPeerEnd::Closed) FPeer.Receive(1, 2000, &FEnd);
    EXPECT_EQ(FEnd, TPeerEnd::Closed);
    EXPECT_LT(std::chrono::steady_clock::now() - FStart, 25s);
    const std::string FLogged = "\"" + kHome + "\\" + FName + "\" failed (upload too slow) ";
    ASSERT_TRUE(test::WaitUntil([&] { return FServer.Log().find(FLogged) != std::string::npos; }))
        << FServer.Log();
    const std::string FLog = FServer.Log();
    EXPECT_GE(std::stoull(FLog.substr(FLog.find(FLogged) + FLogged.size())), FFastStart);
    EXPECT_FALSE(fs::exists(FServer.Storage() / "home/一年级一班/张三" / FName));
  }
}

// The server's own uploads under way are reachable by no command.
TEST_F(GuardTest, UploadsUnderWayAreNobodysToTouch) {
  ASSERT_TRUE(LogIn("127.0.0.1", "张三"));
  const std::string FTemp = kHome + "\\.zelvo-upload-1234-x";
  fs::path FLocal = FServer.Storage() / "home/一年级一班/张三/.zelvo-upload-1234-x";
  std::ofstream(FLocal) << "partial";
  EXPECT_NE(
      Confirmation(Request("127.0.0.1", "PUT " + FTemp, test::CountedBlock("x"))).substr(0, 2),
      "OK");
  EXPECT_EQ(Request("127.0.0.1", "GET " + FTemp), "");
  EXPECT_NE(Confirmation(Request("127.0.0.1", "DELETE " + FTemp)), "OK");
  EXPECT_NE(Confirmation(Request("127.0.0.1", "MOVE " + FTemp + "|" + kHome + "\\taken.txt")),
            "OK");
  EXPECT_NE(Confirmation(Request("127.0.0.1", "MKDIR " + kHome + "\\.zelvo-upload-d")), "OK");
  EXPECT_EQ(test::TTempDir::ReadPath(FLocal), "partial");
}

TEST_F(GuardTest, StorageStaysPrivateAndLinksLeadNowhere) {
  ASSERT_TRUE(LogIn("127.0.0.1", "张三"));
  const fs::path FHome = FServer.Storage() / "home/一年级一班/张三";
  fs::create_directory_symlink(FServer.Storage() / "share/一年级一班", FHome / "共享");
  fs::create_directory_symlink(FServer.Storage() / "home/一年级一班/李四", FHome / "同学");
  const std::string FBefore =
      test::TTempDir::ReadPath(FServer.Storage() / "share/一年级一班/课程表.txt");
  EXPECT_NE(Confirmation(Request("127.0.0.1", "PUT " + kHome + "\\共享\\课程表.txt",
                                 test::CountedBlock("changed"))),
            "OK");
  EXPECT_NE(Confirmation(Request("127.0.0.1", "DELETE " + kHome + "\\同学\\欢迎使用.txt")), "OK");
  EXPECT_EQ(Request("127.0.0.1", "GET " + kHome + "\\同学\\欢迎使用.txt"), "");
  EXPECT_EQ(test::TTempDir::ReadPath(FServer.Storage() / "share/一年级一班/课程表.txt"), FBefore);
  EXPECT_TRUE(fs::exists(FServer.Storage() / "home/一年级一班/李四/欢迎使用.txt"));

  EXPECT_TRUE(
      Confirmation(Request("127.0.0.1", "PUT " + kHome + "\\mine.txt", test::CountedBlock("x")))
          .starts_with("OK 1 "));
  EXPECT_EQ(Confirmation(Request("127.0.0.1", "MKDIR " + kHome + "\\folder")), "OK");
  const auto FMode = [](const fs::path& aPath) {
    struct stat FStat {};
    ::stat(aPath.c_str(), &FStat);
    return FStat.st_mode & 0777;
  };
  EXPECT_EQ(FMode(FServer.Folder() / "accounts.db"), 0600u);
  EXPECT_EQ(FMode(FHome / "mine.txt"), 0600u);
  EXPECT_EQ(FMode(FHome / "folder"), 0700u);

  // An upload cut off by a crash leaves its temporary file: the next start removes it.
  std::ofstream(FHome / ".zelvo-upload-AbCdEf") << "half";
  FServer.Stop();
  FServer.Start();
  EXPECT_FALSE(fs::exists(FHome / ".zelvo-upload-AbCdEf"));
}

} // namespace
} // namespace zelvo
