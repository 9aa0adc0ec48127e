// Every save lands or is refused, through real mounts: saves through a temporary file renamed
// over the document, servers that close or reset instead of answering, two machines of one
// student saving one file, names a request line cannot carry, a folder the server could not list.
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>
#include <utility>

#include "tests/drive/MountFixture.h"
#include "tests/support/StallingProxy.h"

namespace zelvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void WriteText(const fs::path& aPath, const std::string& aText) {
  std::ofstream(aPath, std::ios::binary | std::ios::trunc) << aText;
}

// Writes, fsyncs and closes aPath as an editor saves its temporary file; 0 or the errno.
int WriteSynced(const fs::path& aPath, const std::string& aText) {
  const int FFd = ::open(aPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (FFd < 0) return errno;
  const bool FOk = ::write(FFd, aText.data(), aText.size()) == static_cast<ssize_t>(aText.size()) &&
                   ::fsync(FFd) == 0;
  const int FError = FOk ? 0 : errno;
  return ::close(FFd) == 0 ? FError : errno;
}

// 0 or the errno of a rename.
int Rename(const fs::path& aFrom, const fs::path& aTo) {
  return ::rename(aFrom.c_str(), aTo.c_str()) == 0 ? 0 : errno;
}

// Whether a folder holds a conflict copy of aStem/aExt ("<stem> (张三的冲突副本 ...)<ext>").
fs::path ConflictCopy(const fs::path& aFolder, const std::string& aStem, const std::string& aExt) {
  for (const auto& FEntry : fs::directory_iterator(aFolder)) {
    const std::string FName = FEntry.path().filename().string();
    if (FName.starts_with(aStem + " (张三的冲突副本 ") && FName.ends_with(")" + aExt))
      return FEntry.path();
  }
  return {};
}

using SaveLandsMountTest = MountFixture;

// A document saved the way editors save it: the new content in a temporary file of a kept-local
// extension, then renamed over the document.
struct TRenameSave {
  const char* FWhat;
  const char* FTemporary;
  const char* FDocument;
};
constexpr TRenameSave kRenameSaves[] = {
    {"mv of a .tmp over a text", "~w1.tmp", "f.txt"},
    {"an office save", "lu12345.tmp", "doc.odt"},
};

TEST_F(SaveLandsMountTest, RenameOverADocumentIsASave) {
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  for (const auto& FCase : kRenameSaves) {
    WriteText(Z(FCase.FDocument), "OLD");
    ASSERT_EQ(Stored(Home() / FCase.FDocument, "OLD"), "OLD") << FCase.FWhat;
    ASSERT_EQ(Read(Z(FCase.FDocument)), "OLD") << FCase.FWhat; // the editor opened it
    ASSERT_EQ(WriteSynced(Z(FCase.FTemporary), "NEW"), 0) << FCase.FWhat;
    EXPECT_EQ(Rename(Z(FCase.FTemporary), Z(FCase.FDocument)), 0) << FCase.FWhat;
    // The rename returns once the server has it: no waiting needed.
    EXPECT_EQ(Read(Home() / FCase.FDocument), "NEW") << FCase.FWhat;
    EXPECT_FALSE(fs::exists(Z(FCase.FTemporary))) << FCase.FWhat;
    EXPECT_EQ(Read(Z(FCase.FDocument)), "NEW") << FCase.FWhat;
  }
  // After a remount the saved content is what the drive shows.
  EXPECT_EQ(FMount.Stop(), 0);
  TMountProcess FAgain(FServer.Port());
  ASSERT_TRUE(FAgain.Ready()) << FAgain.Log();
  for (const auto& FCase : kRenameSaves)
    EXPECT_EQ(Read(FAgain.Own() / FCase.FDocument), "NEW") << FCase.FWhat;
}

TEST_F(SaveLandsMountTest, RenameSaveFailsCleanlyWithTheServerStopped) {
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  for (const auto& FCase : kRenameSaves) {
    WriteText(Z(FCase.FDocument), "OLD");
    ASSERT_EQ(Stored(Home() / FCase.FDocument, "OLD"), "OLD") << FCase.FWhat;
  }
  FServer.Stop();
  for (const auto& FCase : kRenameSaves) {
    ASSERT_EQ(WriteSynced(Z(FCase.FTemporary), "NEW"), 0) << FCase.FWhat; // kept local
    EXPECT_EQ(Rename(Z(FCase.FTemporary), Z(FCase.FDocument)), EIO) << FCase.FWhat;
    EXPECT_EQ(Read(Z(FCase.FTemporary)), "NEW") << FCase.FWhat << ": the temporary file stays";
    EXPECT_EQ(Read(Z(FCase.FDocument)), "OLD") << FCase.FWhat;
    EXPECT_EQ(Read(Home() / FCase.FDocument), "OLD") << FCase.FWhat;
  }
  FServer.Start();
  // The editor tries again once the server is back.
  for (const auto& FCase : kRenameSaves) {
    EXPECT_EQ(Rename(Z(FCase.FTemporary), Z(FCase.FDocument)), 0) << FCase.FWhat;
    EXPECT_EQ(Read(Home() / FCase.FDocument), "NEW") << FCase.FWhat;
  }
}

// A server that closes every connection unanswered (at its connection limit), and one that
// reads a whole upload and then resets: no call reports success for a change that is not there.
TEST_F(SaveLandsMountTest, ClosesAndResetsAreFailures) {
  TStallingProxy FProxy(FServer.Port());
  TMountProcess FLinked(FProxy.Port(), TMountSetup{.FTimeOutMs = 3000});
  ASSERT_TRUE(FLinked.Ready()) << FLinked.Log();
  const fs::path FOwn = FLinked.Own();
  WriteText(FOwn / "kept.txt", "kept");
  ASSERT_EQ(Stored(Home() / "kept.txt", "kept"), "kept");

  FProxy.CloseEveryConnection(true);
  const int FFd = ::open((FOwn / "closed.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(FFd, 0);
  ASSERT_EQ(::write(FFd, "x", 1), 1);
  ExpectErrno(::close(FFd), EIO, "close of a new file");
  ExpectErrno(::mkdir((FOwn / "made").c_str(), 0755), EIO, "mkdir");
  ExpectErrno(::unlink((FOwn / "kept.txt").c_str()), EIO, "rm");
  EXPECT_EQ(Rename(FOwn / "kept.txt", FOwn / "moved.txt"), EIO) << "mv";
  EXPECT_TRUE(fs::exists(FOwn / "kept.txt"));
  EXPECT_TRUE(fs::exists(Home() / "kept.txt"));
  EXPECT_FALSE(fs::exists(Home() / "made"));
  FProxy.CloseEveryConnection(false);
  EXPECT_EQ(Stored(Home() / "closed.txt", "x"), "x") << "the failed save is sent later";

  FProxy.ResetAfterUploads(1);
  const int FReset = ::open((FOwn / "reset.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(FReset, 0);
  ASSERT_EQ(::write(FReset, "reset", 5), 5);
  ExpectErrno(::close(FReset), EIO, "close answered by a reset");
  EXPECT_EQ(Stored(Home() / "reset.txt", "reset"), "reset");
  EXPECT_EQ(FLinked.Stop(), 0);
}

// An editor holding a document open: read when opened, saved whole through the same descriptor.
class TOpenDocument {
public:
  explicit TOpenDocument(const fs::path& aPath) : FFd(::open(aPath.c_str(), O_RDWR)) {
    char FBuffer[256];
    const ssize_t FGot = FFd >= 0 ? ::read(FFd, FBuffer, sizeof FBuffer) : -1;
    if (FGot > 0) FText.assign(FBuffer, static_cast<size_t>(FGot));
  }
  // 0, or the errno of the failed call.
  int Save(const std::string& aText) {
    if (::ftruncate(FFd, 0) != 0 ||
        ::pwrite(FFd, aText.data(), aText.size(), 0) != static_cast<ssize_t>(aText.size()))
      return errno;
    const int FFd2 = std::exchange(FFd, -1);
    return ::close(FFd2) == 0 ? 0 : errno;
  }
  ~TOpenDocument() {
    if (FFd >= 0) ::close(FFd);
  }
  const std::string& Text() const { return FText; }

private:
  int FFd;
  std::string FText;
};

// The same student on two machines (two mounts, two caches), saving one file within moments:
// whichever lands second finds the other's version and goes beside it, every time.
TEST_F(SaveLandsMountTest, TwoMachinesSavingTogetherKeepBothEdits) {
  TMountProcess FOther(FServer.Port(), TMountSetup{.FRefreshSeconds = 1});
  ASSERT_TRUE(FMount.Ready() && FOther.Ready()) << FMount.Log() << FOther.Log();
  for (int FRound = 0; FRound < 6; ++FRound) {
    const std::string FName = "same" + std::to_string(FRound);
    const std::string FFirst = "first machine, round " + std::to_string(FRound) + "\n";
    const std::string FSecond = "second machine, round " + std::to_string(FRound) + "\n";
    WriteText(Z(FName + ".txt"), "start\n");
    ASSERT_EQ(Stored(Home() / (FName + ".txt"), "start\n"), "start\n");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(FOther.Own() / (FName + ".txt")); }));
    TOpenDocument FOne(Z(FName + ".txt"));
    TOpenDocument FTwo(FOther.Own() / (FName + ".txt"));
    ASSERT_EQ(FOne.Text(), "start\n");
    ASSERT_EQ(FTwo.Text(), "start\n");
    // One right after the other, as two people pressing save within a second.
    const bool FFirstSavesFirst = FRound % 2 == 0;
    EXPECT_EQ((FFirstSavesFirst ? FOne : FTwo).Save(FFirstSavesFirst ? FFirst : FSecond), 0);
    EXPECT_EQ((FFirstSavesFirst ? FTwo : FOne).Save(FFirstSavesFirst ? FSecond : FFirst), 0);
    const fs::path FCopy = ConflictCopy(Home(), FName, ".txt");
    ASSERT_FALSE(FCopy.empty()) << "round " << FRound;
    const std::string FKept = Read(Home() / (FName + ".txt"));
    const std::string FBeside = Read(FCopy);
    EXPECT_TRUE((FKept == FFirst && FBeside == FSecond) || (FKept == FSecond && FBeside == FFirst))
        << "round " << FRound << ": " << FKept << " / " << FBeside;
  }
}

// Save, another machine's save, save again: the second save is not overwritten silently.
TEST_F(SaveLandsMountTest, SaveAfterAnotherMachineSavedGoesBeside) {
  TMountProcess FOther(FServer.Port(), TMountSetup{.FRefreshSeconds = 1});
  ASSERT_TRUE(FMount.Ready() && FOther.Ready()) << FMount.Log() << FOther.Log();
  WriteText(Z("plan.txt"), "A1\n");
  ASSERT_EQ(Stored(Home() / "plan.txt", "A1\n"), "A1\n");
  ASSERT_TRUE(WaitUntil([&] { return Read(FOther.Own() / "plan.txt") == "A1\n"; }));
  WriteText(FOther.Own() / "plan.txt", "B\n");
  ASSERT_EQ(Stored(Home() / "plan.txt", "B\n"), "B\n");
  WriteText(Z("plan.txt"), "A2\n"); // A's base is its own first save
  EXPECT_EQ(Read(Home() / "plan.txt"), "B\n") << "the other edit survives";
  const fs::path FCopy = ConflictCopy(Home(), "plan", ".txt");
  ASSERT_FALSE(FCopy.empty());
  EXPECT_EQ(Read(FCopy), "A2\n");
}

TEST_F(SaveLandsMountTest, NamesARequestCannotCarryAreRefused) {
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  WriteText(Z("a.txt"), "keep");
  ASSERT_EQ(Stored(Home() / "a.txt", "keep"), "keep");
  for (const char* FName : {"a.txt\r\nX", "a.txt\nX", "tab\there", "bell\a"}) {
    ExpectErrno(::open(Z(FName).c_str(), O_CREAT | O_WRONLY, 0644), EINVAL, "create");
    ExpectErrno(::mkdir(Z(FName).c_str(), 0755), EINVAL, "mkdir");
    EXPECT_EQ(Rename(Z("a.txt"), Z(FName)), EINVAL);
  }
  EXPECT_EQ(Read(Home() / "a.txt"), "keep");
  EXPECT_EQ(Read(Z("a.txt")), "keep");
  // Such a name on the server is not shown (it could not be reached).
  WriteText(Home() / "line\nbreak.txt", "x");
  TMountProcess FAgain(FServer.Port());
  ASSERT_TRUE(FAgain.Ready()) << FAgain.Log();
  for (const auto& FEntry : fs::directory_iterator(FAgain.Own()))
    EXPECT_EQ(FEntry.path().filename().string().find('\n'), std::string::npos);
}

TEST_F(SaveLandsMountTest, FolderNeverListedFailsUntilTheServerIsBack) {
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  FServer.Stop();
  std::string FOutput;
  EXPECT_NE(Shell("ls '" + Z("作业").string() + "'", &FOutput), 0) << FOutput;
  ExpectErrno(::open(Z("作业/new.txt").c_str(), O_CREAT | O_WRONLY, 0644), EIO, "create inside");
  FServer.Start();
  EXPECT_TRUE(
      WaitUntil([&] { return Shell("ls '" + Z("作业").string() + "'", &FOutput) == 0; }, 30s));
  EXPECT_NE(FOutput.find("notes.txt"), std::string::npos) << FOutput;
}

} // namespace
} // namespace zelvo::test
