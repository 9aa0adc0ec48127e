// The journal of pending changes as a later run reads it: what it uses, and what it sets aside
// without ever sending or deleting it.
#include <filesystem>
#include <gtest/gtest.h>

#include "common/TextCodec.h"
#include "tests/support/TempDir.h"
#include "tree/PendingJournal.h"

namespace zelvo {
namespace {

constexpr char kName[] = "\\home\\一年级一班\\张三\\\\a.txt";

class JournalTest : public ::testing::Test {
protected:
  void SetUp() override {
    FCache.WriteFile("pending-1.cache", "mine");
    FOutside.WriteFile("secret.txt", "not the drive's");
    std::filesystem::create_symlink(FOutside.Path() / "secret.txt",
                                    FCache.Path() / "pending-link.cache");
  }
  std::string Cache() const { return FCache.Path().string(); }

  test::TTempDir FCache;
  test::TTempDir FOutside;
};

TEST_F(JournalTest, OnlyContentInTheCacheFolderIsUsed) {
  struct TCase {
    const char* FName;
    std::string FLine;
    bool FUsed;
  };
  const std::string FOut = FOutside.Path().string();
  const TCase FCases[] = {
      {"this format", std::string("2\t127.0.0.1\t9000\t") + kName + "\tpending-1.cache\t4\t5\t1\tx",
       true},
      {"the first format, in the cache folder",
       std::string("127.0.0.1\t") + kName + "\t" + Cache() + "/pending-1.cache", true},
      {"the first format, outside it",
       std::string("127.0.0.1\t") + kName + "\t" + FOut + "/secret.txt", false},
      {"a path as the file name",
       std::string("2\t127.0.0.1\t9000\t") + kName + "\t" + FOut + "/secret.txt\t\t\t0\t", false},
      {"a way up", std::string("2\t127.0.0.1\t9000\t") + kName + "\t..\t\t\t0\t", false},
      {"a link out", std::string("2\t127.0.0.1\t9000\t") + kName + "\tpending-link.cache\t\t\t0\t",
       false},
      {"no port", std::string("2\t127.0.0.1\tx\t") + kName + "\tpending-1.cache\t\t\t0\t", false},
      {"a field short", std::string("2\t127.0.0.1\t9000\t") + kName + "\tpending-1.cache\t\t0\t",
       false},
  };
  for (const TCase& FCase : FCases) {
    SCOPED_TRACE(FCase.FName);
    FCache.WriteFile("pending.journal", FCase.FLine + "\n");
    TPendingJournal FJournal;
    const auto FAside = FJournal.Open(FCache.Text());
    ASSERT_EQ(FJournal.Entries().size(), FCase.FUsed ? 1u : 0u);
    EXPECT_EQ(FAside.empty(), FCase.FUsed);
    if (!FCase.FUsed) {
      EXPECT_EQ(test::TTempDir::ReadPath(FAside), FCase.FLine + "\n") << "kept as it was";
      EXPECT_EQ(FCache.ReadFile("pending.journal"), "") << "and never read again";
      std::filesystem::remove(FAside);
      continue;
    }
    const TPendingEntry FEntry = FJournal.Entries()[0];
    EXPECT_EQ(FEntry.FCacheFile, Utf8ToUtf16(Cache() + "/pending-1.cache"));
    EXPECT_EQ(FEntry.FFullName, Utf8ToUtf16(kName));
  }
  EXPECT_EQ(FOutside.ReadFile("secret.txt"), "not the drive's");
}

// An entry is one file of one server: host and port. What Add wrote is what the next run reads.
TEST_F(JournalTest, EntriesAreKeyedByHostAndPortAndSurviveARestart) {
  TPendingJournal FJournal;
  FJournal.Open(FCache.Text());
  const std::u16string FFile = FCache.Text() + u"pending-1.cache";
  const std::u16string FName = Utf8ToUtf16(kName);
  TPendingEntry FFirst{
      u"127.0.0.1", 9000, FName, FFile, TServerVersion{4, FileTimeFromInt(133000000000000000)}, 2,
      u"refused"};
  ASSERT_TRUE(FJournal.Add(FFirst));
  ASSERT_TRUE(FJournal.Add({u"127.0.0.1", 9001, FName, FFile}));
  EXPECT_EQ(FJournal.EntriesBelow(u"127.0.0.1", 9000, u"\\home\\一年级一班\\张三").size(), 1u);
  FJournal.Remove(u"127.0.0.1", 9001, FName);

  TPendingJournal FNextRun;
  EXPECT_TRUE(FNextRun.Open(FCache.Text()).empty());
  ASSERT_EQ(FNextRun.Entries().size(), 1u);
  EXPECT_EQ(FNextRun.Entries()[0], FFirst);
  EXPECT_NE(TPendingJournal::PendingFileName(u"/c/", u"127.0.0.1", 9000, FName),
            TPendingJournal::PendingFileName(u"/c/", u"127.0.0.1", 9001, FName));
}

} // namespace
} // namespace zelvo
