#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "common/Globals.h"
#include "common/WindowDispatcher.h"
#include "protocol/GroupListThread.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;
using test::Block;
using test::TFakeConnection;
using test::TFakeServer;

// Counts what arrived, for servers that wait for another server's batch.
class TCountingStrings final : public TStrings {
public:
  void Add(const std::u16string& aText) override {
    FItems.push_back(aText);
    ++FCount;
  }
  TStringList FItems;
  std::atomic<size_t> FCount = 0;
};

// Plays the window thread until every started thread has reported its end.
TStringList Collect(const std::vector<std::u16string>& aHosts, int32_t aPort,
                    TCountingStrings&& aGroups = {}) {
  auto FDispatcher = std::make_shared<TWindowDispatcher>();
  TCountingStrings& FGroups = aGroups;
  size_t FFinished = 0;
  for (const auto& FHost : aHosts)
    TGroupListThread::Create(FHost, aPort, FGroups, FDispatcher, [&](bool) { ++FFinished; });
  const auto FDeadline = std::chrono::steady_clock::now() + 20s;
  while (FFinished < aHosts.size() && std::chrono::steady_clock::now() < FDeadline)
    FDispatcher->WaitAndRunPending(50ms);
  FDispatcher->Close();
  EXPECT_EQ(FFinished, aHosts.size());
  return FGroups.FItems;
}

class GroupListThreadTest : public ::testing::Test {
protected:
  void SetUp() override { ClientTimeOut = 5000; }
};

TEST_F(GroupListThreadTest, BatchesInOrderOfArrivalEachSorted) {
  // The first host answers only after the second host's classes have been added.
  TCountingStrings FGroups;
  TFakeServer FSecond(TFakeServer::Reply(Block("b\r\nA\r\n")), "127.0.0.2");
  TFakeServer FFirst(
      [&](TFakeConnection& aConnection) {
        aConnection.ReadLine();
        test::WaitUntil([&] { return FGroups.FCount >= 2; });
        aConnection.Send(Block("c"));
      },
      "127.0.0.1", FSecond.Port());
  EXPECT_EQ(Collect({u"127.0.0.1", u"127.0.0.2"}, FSecond.Port(), std::move(FGroups)),
            (TStringList{u"A(127.0.0.2)", u"b(127.0.0.2)", u"c(127.0.0.1)"}));
}

TEST_F(GroupListThreadTest, EmptyLinesDuplicatesAndDeadServers) {
  TFakeServer FServer(TFakeServer::Reply(Block("x\r\n\r\nx")));
  const auto FItems = Collect({u"127.0.0.1", u"", u"127.0.0.3"}, FServer.Port());
  EXPECT_EQ(FItems, (TStringList{u"(127.0.0.1)", u"x(127.0.0.1)", u"x(127.0.0.1)"}));
}

TEST_F(GroupListThreadTest, ClosedDispatcherKeepsLateThreadsAwayFromTheList) {
  std::atomic<bool> FRelease = false;
  TFakeServer FServer([&](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    test::WaitUntil([&] { return FRelease.load(); });
    aConnection.Send(Block("late"));
  });
  auto FDispatcher = std::make_shared<TWindowDispatcher>();
  std::weak_ptr<TWindowDispatcher> FWatch = FDispatcher;
  TCountingStrings FGroups;
  bool FTerminated = false;
  TGroupListThread::Create(u"127.0.0.1", FServer.Port(), FGroups, FDispatcher,
                           [&](bool) { FTerminated = true; });
  FDispatcher->Close(); // the window goes away while the thread waits for its server
  FDispatcher.reset();
  FRelease = true;
  // The thread releases its share of the dispatcher when it ends.
  EXPECT_TRUE(test::WaitUntil([&] { return FWatch.expired(); }));
  EXPECT_TRUE(FGroups.FItems.empty());
  EXPECT_FALSE(FTerminated);
}

} // namespace
} // namespace zelvo
