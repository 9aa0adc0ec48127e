// campus-load: the students of a campus played against one or more reference servers by the
// protocol (no mounts), to tell how many servers a campus needs.
//
//   campus-load --servers HOST:PORT[,HOST:PORT...] --students N --seconds S
//               [--prepare DATA[,DATA...]] [--login-within S] [--think MS]
//
// Students are spread over classes of kPerClass, and classes over the servers in turn (class k
// on server k mod the count), as a campus shards its class list. Each student comes from a
// loopback address of its own (127.0.x.y, x >= 1), so address sessions and per-address limits
// act as they would for campus computers; its login comes at an even place within
// --login-within seconds (the morning storm), and a refused login is tried again after 2 to 6 s,
// as a student clicks again. It lists its home, then until the end thinks (--think, varied by
// half either way) and writes, reads back or lists a few small files; at the end it reads every
// file it wrote once more and logs out. "lost" counts files whose write was confirmed but that
// read back wrong or missing. With --prepare (one data folder per server, in the order of
// --servers) the students that the running servers do not list yet are added first with
// "zelvo-server add-user", two at a time.
// Prints a table per command, how many students got in and how long the slowest took, and a last
// line "campus-load: N students, ..."; exit status 1 when a file was lost, 2 on bad arguments.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/Streams.h"
#include "common/TextCodec.h"
#include "protocol/Commands.h"
#include "protocol/LoginReply.h"
#include "protocol/YunClientUnit.h"

namespace {

using namespace zelvo;
using TClock = std::chrono::steady_clock;

constexpr int kPerClass = 40;
constexpr char kPassword[] = "campus-load-1";
constexpr int32_t kTimeOut = 30000;
constexpr int kFilesEach = 4;

struct TServerAddress {
  std::string FHost;
  int32_t FPort = 0;
};

struct TStudent {
  int FIndex = 0;
  std::u16string FClass;
  std::u16string FUser;
  std::string FAddress; // where its connections leave from
  size_t FServer = 0;
};

TStudent StudentOf(int aIndex, size_t aServers) {
  const int FClass = aIndex / kPerClass;
  return {aIndex, Utf8ToUtf16("班级" + std::to_string(FClass + 1)),
          Utf8ToUtf16("学生" + std::to_string(aIndex + 1)),
          "127.0." + std::to_string(1 + aIndex / 250) + "." + std::to_string(1 + aIndex % 250),
          static_cast<size_t>(FClass) % aServers};
}

// Latencies and failures per command, merged from every student at the end.
class TStats {
public:
  void Add(const std::string& aCommand, TClock::duration aTook, bool aOk) {
    auto& FRow = FRows[aCommand];
    FRow.FMs.push_back(std::chrono::duration<double, std::milli>(aTook).count());
    FRow.FErrors += aOk ? 0 : 1;
  }
  void Merge(const TStats& aOther) {
    for (const auto& [FName, FRow] : aOther.FRows) {
      auto& FMine = FRows[FName];
      FMine.FMs.insert(FMine.FMs.end(), FRow.FMs.begin(), FRow.FMs.end());
      FMine.FErrors += FRow.FErrors;
    }
  }
  void Print(double aSeconds, int aStudents, size_t aServers, long aLost) {
    std::printf("%-8s %9s %9s %9s %8s\n", "command", "count", "p50 ms", "p99 ms", "errors");
    std::vector<double> FAll;
    long FErrors = 0;
    for (auto& [FName, FRow] : FRows) {
      std::printf("%-8s %9zu %9.1f %9.1f %8ld\n", FName.c_str(), FRow.FMs.size(),
                  Percentile(FRow.FMs, 0.50), Percentile(FRow.FMs, 0.99), FRow.FErrors);
      FAll.insert(FAll.end(), FRow.FMs.begin(), FRow.FMs.end());
      FErrors += FRow.FErrors;
    }
    std::printf("campus-load: %d students, %zu servers, %.0f req/s, p50 %.0f ms, p99 %.0f ms, "
                "errors %ld, lost %ld\n",
                aStudents, aServers, static_cast<double>(FAll.size()) / aSeconds,
                Percentile(FAll, 0.50), Percentile(FAll, 0.99), FErrors, aLost);
  }

private:
  static double Percentile(std::vector<double>& aValues, double aShare) {
    if (aValues.empty()) return 0;
    const auto FAt = aValues.begin() + static_cast<long>(aShare * (aValues.size() - 1));
    std::nth_element(aValues.begin(), FAt, aValues.end());
    return *FAt;
  }
  struct TRow {
    std::vector<double> FMs;
    long FErrors = 0;
  };
  std::map<std::string, TRow> FRows;
};

// One student's day: its own statistics, files and losses.
class TStudentRun {
public:
  TStudentRun(const TStudent& aStudent, const TServerAddress& aServer, unsigned aThinkMs)
      : FStudent(aStudent), FServer(aServer), FThinkMs(aThinkMs), FRandom(aStudent.FIndex + 1) {}

  void Run(TClock::time_point aLoginAt, TClock::time_point aEnd) {
    if (aLoginAt >= aEnd) return; // its morning comes after the run
    std::this_thread::sleep_until(aLoginAt);
    while (!LogIn() && TClock::now() < aEnd)
      std::this_thread::sleep_for(std::chrono::milliseconds(2000 + FRandom() % 4000));
    if (FHome.empty()) return;
    FLoggedInAfter = TClock::now() - aLoginAt;
    List();
    while (Think(aEnd)) {
      const unsigned FPick = FRandom() % 10;
      if (FPick < 4)
        Write(FRandom() % kFilesEach);
      else if (FPick < 8 && !FWritten.empty())
        ReadBack(std::next(FWritten.begin(), FRandom() % FWritten.size())->first);
      else
        List();
    }
    for (const auto& [FName, FContent] : std::map(FWritten))
      ReadBack(FName);
    Timed("LOGOUT", [&](TYunClient& aClient) {
      return aClient.DoCommand(LogoutRequest(FStudent.FClass, FStudent.FUser));
    });
  }
  const TStats& Stats() const { return FStats; }
  // How long its login took, retries included; none when it never got in.
  std::optional<TClock::duration> LoggedInAfter() const { return FLoggedInAfter; }
  long Lost() const { return static_cast<long>(FLost.size()); }

private:
  template <class TExchange>
  bool Timed(const std::string& aCommand, TExchange aExchange) {
    TYunClient FClient(Utf8ToUtf16(FServer.FHost), FServer.FPort, kTimeOut, FConfirms);
    FClient.LeaveFrom(FStudent.FAddress);
    const auto FStart = TClock::now();
    const bool FOk = aExchange(FClient);
    FStats.Add(aCommand, TClock::now() - FStart, FOk);
    return FOk;
  }
  bool LogIn() {
    return Timed("LOGIN", [&](TYunClient& aClient) {
      TStringList FLines;
      if (!aClient.DoCommand(LoginRequest(FStudent.FClass, FStudent.FUser, Utf8ToUtf16(kPassword)),
                             FLines))
        return false;
      const auto FReply = ParseLoginReply(FLines);
      if (!FReply) return false;
      FHome = FReply->FRoot0;
      FConfirms = FReply->FConfirms;
      return true;
    });
  }
  void List() {
    Timed("LIST", [&](TYunClient& aClient) {
      std::vector<uint8_t> FRecords;
      return aClient.DoCommand(ListRequest(FHome), FRecords);
    });
  }
  void Write(unsigned aFile) {
    const std::u16string FName = FHome + u"\\load-" + Utf8ToUtf16(std::to_string(aFile)) + u".bin";
    std::vector<uint8_t> FContent(1024 + FRandom() % (15 * 1024));
    for (auto& FByte : FContent)
      FByte = static_cast<uint8_t>(FRandom());
    TMemoryStream FStream(FContent);
    const bool FOk = Timed("PUT", [&](TYunClient& aClient) {
      return aClient.Put(FStream, FName) == TCommandResult::Done;
    });
    // A failed PUT may or may not have landed: that file's content is no longer known.
    if (FOk)
      FWritten[FName] = std::move(FContent);
    else
      FWritten.erase(FName);
  }
  void ReadBack(const std::u16string& aName) {
    TMemoryStream FStream;
    if (!Timed("GET", [&](TYunClient& aClient) { return aClient.GetFile(FStream, aName); })) return;
    if (FStream.Data() != FWritten[aName]) FLost.insert(aName);
  }
  bool Think(TClock::time_point aEnd) {
    const auto FPause = std::chrono::milliseconds(FThinkMs / 2 + FRandom() % (FThinkMs + 1));
    std::this_thread::sleep_until(std::min(TClock::now() + FPause, aEnd));
    return TClock::now() < aEnd;
  }

  TStudent FStudent;
  TServerAddress FServer;
  unsigned FThinkMs;
  std::minstd_rand FRandom;
  std::u16string FHome;
  bool FConfirms = false;
  std::map<std::u16string, std::vector<uint8_t>> FWritten;
  std::set<std::u16string> FLost;
  TStats FStats;
  std::optional<TClock::duration> FLoggedInAfter;
};

// How many students got in, and how long the slowest waited (its tries again included).
void PrintLogins(const std::vector<std::unique_ptr<TStudentRun>>& aRuns) {
  size_t FIn = 0;
  TClock::duration FLongest{};
  for (const auto& FRun : aRuns)
    if (const auto FAfter = FRun->LoggedInAfter()) {
      ++FIn;
      FLongest = std::max(FLongest, *FAfter);
    }
  std::printf("logged in: %zu of %zu students, the slowest after %.1f s\n", FIn, aRuns.size(),
              std::chrono::duration<double>(FLongest).count());
}

std::string Quoted(const std::string& aText) {
  std::string FQuoted = "'";
  for (const char FChar : aText)
    FQuoted += FChar == '\'' ? std::string("'\\''") : std::string(1, FChar);
  return FQuoted + "'";
}

// zelvo-server beside this program's build (bench/../server), else the one on the PATH.
std::string ServerProgram() {
  std::error_code FError;
  const auto FSelf = std::filesystem::read_symlink("/proc/self/exe", FError);
  const auto FBeside = FSelf.parent_path().parent_path() / "server" / "zelvo-server";
  return !FError && std::filesystem::exists(FBeside) ? FBeside.string() : "zelvo-server";
}

bool AddUser(const std::string& aProgram, const std::string& aData, const TStudent& aStudent) {
  const std::string FCommand = Quoted(aProgram) + " add-user " + Quoted(aData) + " " +
                               Quoted(Utf16ToUtf8(aStudent.FClass)) + " " +
                               Quoted(Utf16ToUtf8(aStudent.FUser)) + " >/dev/null";
  FILE* FPipe = ::popen(FCommand.c_str(), "w");
  if (!FPipe) return false;
  std::fprintf(FPipe, "%s\n", kPassword);
  return ::pclose(FPipe) == 0;
}

// Adds the students a running server does not list yet; false when one could not be added.
bool Prepare(const std::vector<TServerAddress>& aServers, const std::vector<std::string>& aData,
             const std::vector<TStudent>& aStudents) {
  std::vector<const TStudent*> FMissing;
  std::map<std::u16string, std::set<std::u16string>> FListed; // per class
  for (const auto& FStudent : aStudents) {
    auto FAt = FListed.find(FStudent.FClass);
    if (FAt == FListed.end()) {
      const auto& FServer = aServers[FStudent.FServer];
      TStringList FUsers;
      TYunClient(Utf8ToUtf16(FServer.FHost), FServer.FPort, kTimeOut)
          .DoCommand(UlistRequest(FStudent.FClass), FUsers);
      FAt = FListed.emplace(FStudent.FClass, std::set(FUsers.begin(), FUsers.end())).first;
    }
    if (!FAt->second.contains(FStudent.FUser)) FMissing.push_back(&FStudent);
  }
  std::printf("campus-load: adding %zu students\n", FMissing.size());
  std::fflush(stdout);
  const std::string FProgram = ServerProgram();
  std::atomic<size_t> FNext = 0;
  std::atomic<bool> FOk = true;
  std::vector<std::jthread> FWorkers;
  for (int i = 0; i < 2; ++i)
    FWorkers.emplace_back([&] {
      for (size_t FAt; (FAt = FNext++) < FMissing.size();)
        if (!AddUser(FProgram, aData[FMissing[FAt]->FServer], *FMissing[FAt])) FOk = false;
    });
  FWorkers.clear();
  return FOk;
}

std::vector<TServerAddress> ParseServers(const std::vector<std::string>& aTexts) {
  std::vector<TServerAddress> FServers;
  for (const auto& FText : aTexts) {
    const auto FColon = FText.rfind(':');
    if (FColon == std::string::npos) throw CLI::ValidationError("--servers", FText + ": no port");
    FServers.push_back({FText.substr(0, FColon), std::stoi(FText.substr(FColon + 1))});
  }
  return FServers;
}

// Every student at once holds a connection: more than the usual 1,024 descriptors.
void RaiseDescriptorLimit() {
  rlimit FLimit{};
  if (::getrlimit(RLIMIT_NOFILE, &FLimit) != 0) return;
  FLimit.rlim_cur = FLimit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &FLimit);
}

} // namespace

int main(int argc, char** argv) {
  CLI::App FApp{"students of a campus played against reference servers"};
  std::vector<std::string> FServerTexts;
  std::vector<std::string> FData;
  int FCount = 0;
  double FSeconds = 0;
  double FLoginWithin = 5;
  unsigned FThinkMs = 1000;
  FApp.add_option("--servers", FServerTexts, "HOST:PORT,...")->required()->delimiter(',');
  FApp.add_option("--students", FCount)->required()->check(CLI::PositiveNumber);
  FApp.add_option("--seconds", FSeconds)->required()->check(CLI::PositiveNumber);
  FApp.add_option("--prepare", FData, "DATA,... (one per server)")->delimiter(',');
  FApp.add_option("--login-within", FLoginWithin, "s")->capture_default_str();
  FApp.add_option("--think", FThinkMs, "ms between a student's requests")->capture_default_str();
  CLI11_PARSE(FApp, argc, argv);
  std::vector<TServerAddress> FServers;
  try {
    FServers = ParseServers(FServerTexts);
  } catch (const std::exception& aError) {
    std::fprintf(stderr, "campus-load: %s\n", aError.what());
    return 2;
  }
  if (!FData.empty() && FData.size() != FServers.size()) {
    std::fprintf(stderr, "campus-load: --prepare needs one data folder per server\n");
    return 2;
  }
  RaiseDescriptorLimit();
  std::vector<TStudent> FStudents;
  for (int i = 0; i < FCount; ++i)
    FStudents.push_back(StudentOf(i, FServers.size()));
  if (!FData.empty() && !Prepare(FServers, FData, FStudents)) {
    std::fprintf(stderr, "campus-load: students could not be added\n");
    return 1;
  }

  std::vector<std::unique_ptr<TStudentRun>> FRuns;
  for (const auto& FStudent : FStudents)
    FRuns.push_back(std::make_unique<TStudentRun>(FStudent, FServers[FStudent.FServer], FThinkMs));
  const auto FStart = TClock::now();
  const auto FEnd = FStart + std::chrono::duration_cast<TClock::duration>(
                                 std::chrono::duration<double>(FSeconds));
  {
    std::vector<std::jthread> FThreads;
    for (size_t i = 0; i < FRuns.size(); ++i) {
      const auto FLoginAt = FStart + std::chrono::duration_cast<TClock::duration>(
                                         std::chrono::duration<double>(FLoginWithin * i / FCount));
      FThreads.emplace_back([&, i, FLoginAt] { FRuns[i]->Run(FLoginAt, FEnd); });
    }
  }
  const double FTook = std::chrono::duration<double>(TClock::now() - FStart).count();
  TStats FAll;
  long FLost = 0;
  for (const auto& FRun : FRuns) {
    FAll.Merge(FRun->Stats());
    FLost += FRun->Lost();
  }
  PrintLogins(FRuns);
  FAll.Print(FTook, FCount, FServers.size(), FLost);
  return FLost > 0 ? 1 : 0;
}
