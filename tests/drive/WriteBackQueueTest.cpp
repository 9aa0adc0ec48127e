// The write-back queue's rules against a scripted remote: no server, no mount, no clock but the
// one the test hands to each round.
#include <deque>
#include <gtest/gtest.h>

#include "drive/WriteBackQueue.h"
#include "tests/support/TempDir.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;
using TClock = TWriteBackQueue::TClock;

constexpr char16_t kServer[] = u"127.0.0.1";
constexpr int32_t kPort = 8783;
constexpr char16_t kRoot[] = u"\\home\\一年级一班\\张三";

class WriteBackQueueTest : public ::testing::Test {
protected:
  void SetUp() override { FJournal.Open(FCache.Text()); }

  TPendingEntry Entry(const std::u16string& aName, int32_t aPort = kPort) {
    FCache.WriteFile("c-" + std::to_string(++FFiles) + ".cache", "content");
    return {kServer, aPort, std::u16string(kRoot) + u"\\\\" + aName,
            FCache.Text() + u"c-" + Utf8ToUtf16(std::to_string(FFiles)) + u".cache"};
  }
  // A queue whose tries answer from FScript (a "sent" try takes the entry out, as a real
  // send does) and whose give-ups succeed unless FKeepFails.
  std::unique_ptr<TWriteBackQueue> Queue() {
    return std::make_unique<TWriteBackQueue>(
        kServer, kPort, kRoot, FJournal,
        [this](const TPendingEntry& aEntry) {
          FTried.push_back(aEntry.FFullName);
          const TTryOutcome FOutcome = FScript.empty() ? TTryOutcome{} : FScript.front();
          if (!FScript.empty()) FScript.pop_front();
          if (FOutcome.FKind == TTryKind::Sent || FDeletedDuringTry)
            FJournal.Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
          return FOutcome;
        },
        [this](const TPendingEntry& aEntry) {
          FGivenUp.push_back(aEntry);
          if (FKeepFails) return false;
          FJournal.Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
          return true;
        });
  }
  static std::u16string Utf8ToUtf16(const std::string& aText) {
    return std::u16string(aText.begin(), aText.end());
  }

  test::TTempDir FCache;
  TPendingJournal FJournal;
  std::deque<TTryOutcome> FScript;
  std::vector<std::u16string> FTried;
  std::vector<TPendingEntry> FGivenUp;
  bool FKeepFails = false;
  bool FDeletedDuringTry = false; // the file is deleted here while its try runs
  int FFiles = 0;
};

// One entry through a scripted run of outcomes: when each next try is due, and whether and
// when it is given up.
TEST_F(WriteBackQueueTest, OutcomesDecideTheNextTryAndTheEnd) {
  const TTryOutcome FNotNow{TTryKind::NotNow, u"not delivered"};
  const TTryOutcome FRefused{TTryKind::Refused, u"refused (no such folder)"};
  const TTryOutcome FFull{TTryKind::Full, u"refused (disk full)"};
  const TTryOutcome FHeld{TTryKind::Held, {}};
  const TTryOutcome FSent{TTryKind::Sent, u"OK"};
  struct TCase {
    const char* FName;
    std::vector<TTryOutcome> FOutcomes;
    std::vector<TClock::duration> FWaits; // after each try
    bool FGivenUp;
  };
  const TCase FCases[] = {
      {"not now doubles from 0.5 s",
       {FNotNow, FNotNow, FNotNow, FNotNow},
       {500ms, 1s, 2s, 4s},
       false},
      {"refusals wait too, and the third ends it",
       {FRefused, FRefused, FRefused},
       {500ms, 1s},
       true},
      {"a full disk counts as a refusal", {FFull, FNotNow, FFull, FFull}, {500ms, 1s, 2s}, true},
      {"an open file waits without counting",
       {FHeld, FHeld, FRefused},
       {500ms, 500ms, 500ms},
       false},
      {"sent ends it", {FNotNow, FSent}, {500ms}, false},
  };
  for (const TCase& FCase : FCases) {
    SCOPED_TRACE(FCase.FName);
    FJournal.Add(Entry(u"a.txt"));
    FScript.assign(FCase.FOutcomes.begin(), FCase.FOutcomes.end());
    FGivenUp.clear();
    auto FQueue = Queue();
    auto FNow = TClock::now();
    for (size_t i = 0; i < FCase.FOutcomes.size(); ++i) {
      const auto FNext = FQueue->RunDue(FNow);
      if (i < FCase.FWaits.size()) {
        ASSERT_EQ(FNext - FNow, FCase.FWaits[i]) << "after try " << i + 1;
        EXPECT_EQ(FQueue->RunDue(FNext - 1ms), FNext) << "nothing is tried before it is due";
      }
      FNow = FNext;
    }
    EXPECT_TRUE(FScript.empty());
    EXPECT_EQ(FGivenUp.size(), FCase.FGivenUp ? 1u : 0u);
    if (FCase.FGivenUp) {
      EXPECT_EQ(FGivenUp[0].FRefusals, TWriteBackQueue::kMaxRefusals);
      EXPECT_EQ(FGivenUp[0].FLastOutcome, FCase.FOutcomes.back().FText)
          << "the student is told why";
    }
    FJournal.Remove(kServer, kPort, std::u16string(kRoot) + u"\\\\a.txt");
  }
}

TEST_F(WriteBackQueueTest, WaitsStopGrowingAtAMinute) {
  FJournal.Add(Entry(u"a.txt"));
  auto FQueue = Queue();
  auto FNow = TClock::now();
  TClock::duration FWait{};
  for (int i = 0; i < 12; ++i) {
    const auto FNext = FQueue->RunDue(FNow);
    FWait = FNext - FNow;
    FNow = FNext;
  }
  EXPECT_EQ(FWait, TWriteBackQueue::kLastDelay);
  EXPECT_TRUE(FGivenUp.empty()) << "a server that does not answer is waited for without limit";
}

// The count lives in the journal: a restart does not start it over, and a give-up that could
// not keep the content leaves the change where it was.
TEST_F(WriteBackQueueTest, RefusalsOutliveTheQueueAndAFailedGiveUpKeepsTheChange) {
  FJournal.Add(Entry(u"a.txt"));
  FScript = {{TTryKind::Refused, u"refused"}, {TTryKind::Refused, u"refused"}};
  Queue()->RunDue(TClock::now());
  ASSERT_EQ(FJournal.Entries().at(0).FRefusals, 1);
  auto FNext = Queue(); // a new run
  FKeepFails = true;
  const auto FNow = TClock::now();
  EXPECT_EQ(FNext->RunDue(FNow), FNow + 500ms);
  EXPECT_EQ(FGivenUp.size(), 0u);
  FScript = {{TTryKind::Refused, u"refused"}};
  EXPECT_EQ(FNext->RunDue(FNow + 500ms), FNow + 500ms + TWriteBackQueue::kLastDelay);
  EXPECT_EQ(FGivenUp.size(), 1u);
  EXPECT_EQ(FJournal.Entries().size(), 1u) << "its content could not be kept: the change stays";
}

// A server that does not answer holds back the rest of the round; entries of other servers,
// ports and students are never tried.
TEST_F(WriteBackQueueTest, OnlyThisSessionsEntriesAndNotPastADeadServer) {
  FJournal.Add(Entry(u"a.txt"));
  FJournal.Add(Entry(u"b.txt"));
  FJournal.Add(Entry(u"other-port.txt", kPort + 1));
  auto FOther = Entry(u"x");
  FOther.FFullName = u"\\home\\一年级一班\\李四\\\\c.txt";
  FJournal.Add(FOther);
  auto FQueue = Queue();
  EXPECT_EQ(FQueue->Waiting().size(), 2u);
  const auto FNow = TClock::now();
  FScript = {{TTryKind::NotNow, u"not delivered"}};
  FQueue->RunDue(FNow);
  EXPECT_EQ(FTried.size(), 1u) << "b.txt waits for the server to answer again";
  FScript = {{TTryKind::Sent, u"OK"}, {TTryKind::Sent, u"OK"}};
  FQueue->RunDue(FNow + 500ms);
  EXPECT_EQ(FTried.size(), 3u);
  EXPECT_TRUE(FQueue->Waiting().empty());
  EXPECT_EQ(FJournal.Entries().size(), 2u) << "other sessions' entries stay as they were";
}

// A change that ends while its try runs (its file deleted here) ends its schedule too, whatever
// the try came to; the round goes on with the others.
TEST_F(WriteBackQueueTest, AChangeThatEndsDuringItsTryLeavesTheRound) {
  FJournal.Add(Entry(u"a.txt"));
  FJournal.Add(Entry(u"b.txt"));
  FDeletedDuringTry = true;
  FScript = {{TTryKind::NotNow, u"not delivered"}, {TTryKind::Refused, u"refused"}};
  EXPECT_EQ(Queue()->RunDue(TClock::now()), TClock::time_point::max());
  EXPECT_EQ(FTried.size(), 2u) << "a change that is gone says nothing of the server";
  EXPECT_TRUE(FJournal.Entries().empty());
  EXPECT_TRUE(FGivenUp.empty());
}

} // namespace
} // namespace zelvo
