#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "common/Streams.h"
#include "protocol/YunClientUnit.h"
#include "tests/support/FakeServer.h"

namespace zelvo {
namespace {

using test::Block;
using test::BlockCount;
using test::TFakeConnection;
using test::TFakeServer;

constexpr int32_t kTimeOut = 2000;

TYunClient Client(const TFakeServer& aServer, int32_t aTimeOut = kTimeOut) {
  return TYunClient(u"127.0.0.1", aServer.Port(), aTimeOut);
}

TEST(YunClientTest, SendsTheRequestLineBytes) {
  TFakeServer FServer(TFakeServer::Reply(Block("")));
  TStringList FList;
  EXPECT_TRUE(Client(FServer).DoCommand(u"ULIST 一班", FList));
  EXPECT_EQ(FServer.Requests(), std::vector<std::string>{"ULIST \xE4\xB8\x80\xE7\x8F\xAD"});
}

TEST(YunClientTest, LeavesFromTheAddressItIsGiven) {
  std::string FSeen;
  TFakeServer FServer([&](TFakeConnection& aPeer) {
    FSeen = aPeer.PeerAddress();
    aPeer.ReadLine();
    aPeer.Send(Block(""));
  });
  TYunClient FClient = Client(FServer);
  FClient.LeaveFrom("127.0.0.9");
  TStringList FList;
  EXPECT_TRUE(FClient.DoCommand(u"GLIST", FList));
  ASSERT_TRUE(FServer.WaitHandled(1));
  EXPECT_EQ(FSeen, "127.0.0.9");

  TYunClient FElsewhere = Client(FServer);
  FElsewhere.LeaveFrom("192.0.2.77"); // not this machine's: nothing is sent
  EXPECT_FALSE(FElsewhere.DoCommand(u"GLIST", FList));
  EXPECT_EQ(FServer.Connections(), 1);
}

TEST(YunClientTest, CommandWithoutReplyIsDoneOnceSent) {
  TFakeServer FServer(TFakeServer::Silent());
  EXPECT_TRUE(Client(FServer).DoCommand(u"MKDIR \\home\\a\\\\x"));
  ASSERT_TRUE(FServer.WaitHandled(1));
  EXPECT_EQ(FServer.Requests(), std::vector<std::string>{"MKDIR \\home\\a\\\\x"});
}

TEST(YunClientTest, TextReplies) {
  struct TCase {
    std::string FReply;
    bool FOk;
    TStringList FLines;
  };
  const TCase FCases[] = {
      {Block("a\r\n\r\nb"), true, {u"a", u"", u"b"}},
      {Block("a\r\n"), true, {u"a"}},
      {Block(""), true, {}},
      {BlockCount(-1) + "x\ny", true, {u"x", u"y"}},
      {Block("\xEF\xBB\xBF\xE4\xB8\x80"), true, {u"一"}},
      {BlockCount(10) + "short", false, {u"kept"}},
      {"\0\0", false, {u"kept"}},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FReply);
    TFakeServer FServer(TFakeServer::Reply(FCase.FReply));
    TStringList FList{u"kept"};
    EXPECT_EQ(Client(FServer).DoCommand(u"GLIST", FList), FCase.FOk);
    EXPECT_EQ(FList, FCase.FLines);
  }
}

TEST(YunClientTest, SizePrefixedBlockIntoStream) {
  struct TCase {
    std::string FReply;
    bool FOk;
    std::string FContent;
  };
  const TCase FCases[] = {
      {Block("hello"), true, "hello"},
      {Block(""), true, ""},
      {BlockCount(-1) + std::string(100000, 'd'), true, std::string(100000, 'd')},
      {BlockCount(1000) + std::string(600, 'p'), false, std::string(600, 'p')},
      {Block("abc") + "trailing bytes", true, "abc"},
      {"\0\0\0", false, "old content"},
  };
  for (const auto& FCase : FCases) {
    TFakeServer FServer(TFakeServer::Reply(FCase.FReply));
    TMemoryStream FStream;
    FStream.Write("old content", 11);
    EXPECT_EQ(Client(FServer).GetFile(FStream, u"\\home\\a\\\\f"), FCase.FOk);
    EXPECT_EQ(FStream.Text(), FCase.FContent);
    EXPECT_EQ(FServer.Requests(), std::vector<std::string>{"GET \\home\\a\\\\f"});
  }
}

TEST(YunClientTest, StreamReceivesAtItsPositionAndIsCutThere) {
  TFakeServer FServer(TFakeServer::Reply(Block("XY")));
  TMemoryStream FStream;
  FStream.Write("abcdef", 6);
  FStream.SetPosition(2);
  EXPECT_TRUE(Client(FServer).DoCommand(u"GET x", FStream));
  EXPECT_EQ(FStream.Text(), "abXY");
}

TEST(YunClientTest, FileStreamTakesItsSizeFirst) {
  TFakeServer FServer(TFakeServer::Reply(BlockCount(1000) + std::string(600, 'p')));
  char FName[] = "/tmp/zelvo-stream-XXXXXX";
  const int FFd = ::mkstemp(FName);
  ::close(FFd);
  {
    TFileStream FStream(std::u16string(FName, FName + sizeof FName - 1),
                        TFileStream::TMode::Create);
    EXPECT_FALSE(Client(FServer).GetFile(FStream, u"f"));
    EXPECT_EQ(FStream.GetSize(), 600);
  }
  ::unlink(FName);
}

// A huge announced count followed by a close must not reserve the announced memory.
TEST(YunClientTest, HugeAnnouncedCountReservesNothing) {
  TFakeServer FServer(TFakeServer::Reply(BlockCount(0x7FFFFFFF) + "abc"));
  TMemoryStream FStream;
  EXPECT_FALSE(Client(FServer).DoCommand(u"GET x", FStream));
  EXPECT_EQ(FStream.Text(), "abc");
  EXPECT_LT(FStream.Data().capacity(), 1u << 20);

  TFakeServer FListing(TFakeServer::Reply(std::string("\xFF\xFF\xFF\x7F", 4) + "abc"));
  std::vector<uint8_t> FBuf;
  EXPECT_FALSE(Client(FListing).DoCommand(u"LIST x", FBuf));
  EXPECT_TRUE(FBuf.empty());
}

TEST(YunClientTest, ListingBlocks) {
  struct TCase {
    std::string FReply;
    bool FOk;
    std::vector<uint8_t> FBuf;
  };
  const TCase FCases[] = {
      {std::string("\x03\0\0\0abc", 7), true, {'a', 'b', 'c', '4', '5'}},
      {std::string("\0\0\0\0", 4), true, {'1', '2', '3', '4', '5'}},
      {std::string("\0\0\0\x80", 4), true, {'1', '2', '3', '4', '5'}},
      {std::string("\x07\0\0\0abcdefg", 11), true, {'a', 'b', 'c', 'd', 'e', 'f', 'g'}},
      {std::string("\x07\0\0\0abc", 7), false, {'1', '2', '3', '4', '5'}},
  };
  for (const auto& FCase : FCases) {
    TFakeServer FServer(TFakeServer::Reply(FCase.FReply));
    std::vector<uint8_t> FBuf{'1', '2', '3', '4', '5'};
    EXPECT_EQ(Client(FServer).DoCommand(u"LIST \\x\\*", FBuf), FCase.FOk);
    EXPECT_EQ(FBuf, FCase.FBuf);
  }
}

TEST(YunClientTest, TextLineForm) {
  TFakeServer FServer(TFakeServer::Reply("hello \xE4\xB8\x80\r\nmore"));
  std::u16string FLine;
  EXPECT_TRUE(Client(FServer).DoCommand(u"X", FLine));
  EXPECT_EQ(FLine, u"hello 一");

  TFakeServer FLong(TFakeServer::Reply(std::string(20000, 'x') + "\r\n"));
  EXPECT_FALSE(Client(FLong).DoCommand(u"X", FLine));
}

TEST(YunClientTest, SilentServerTimesOutReadsOnly) {
  TFakeServer FServer(TFakeServer::Silent());
  const auto FStart = std::chrono::steady_clock::now();
  TStringList FList{u"kept"};
  TMemoryStream FStream;
  std::vector<uint8_t> FBuf;
  std::u16string FLine = u"x";
  EXPECT_FALSE(Client(FServer, 300).DoCommand(u"GLIST", FList));
  EXPECT_FALSE(Client(FServer, 300).DoCommand(u"GET a", FStream));
  EXPECT_FALSE(Client(FServer, 300).DoCommand(u"LIST a", FBuf));
  EXPECT_TRUE(Client(FServer, 300).DoCommand(u"X", FLine));
  EXPECT_TRUE(FLine.empty());
  EXPECT_TRUE(Client(FServer, 300).DoCommand(u"DELETE a"));
  TMemoryStream FContent(std::vector<uint8_t>{'a', 'b'});
  EXPECT_TRUE(Client(FServer, 300).PutFile(FContent, u"a"));
  EXPECT_EQ(FList, TStringList{u"kept"});
  EXPECT_GE(std::chrono::steady_clock::now() - FStart, std::chrono::milliseconds(4 * 300));
}

TEST(YunClientTest, PutFileSendsRequestCountAndContent) {
  std::string FReceived;
  TFakeServer FServer([&](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    FReceived = aConnection.Stall();
  });
  std::vector<uint8_t> FData(100000);
  for (size_t i = 0; i < FData.size(); ++i)
    FData[i] = static_cast<uint8_t>(i * 7);
  TMemoryStream FContent(FData);
  FContent.SetPosition(500);
  {
    auto FClient = Client(FServer);
    EXPECT_TRUE(FClient.PutFile(FContent, u"\\home\\a\\\\文件"));
  }
  ASSERT_TRUE(FServer.WaitHandled(1));
  EXPECT_EQ(FReceived, BlockCount(100000) + std::string(FData.begin(), FData.end()));
}

// A command without reply returns once the server has closed, so the next command on another
// connection cannot overtake it.
TEST(YunClientTest, CommandsWithoutReplyReturnAfterTheServerFinished) {
  std::atomic<bool> FCarriedOut = false;
  TFakeServer FServer([&](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    aConnection.Stall(); // the client ends its sending direction once the command is out
    FCarriedOut = true;
  });
  ASSERT_TRUE(Client(FServer).DoCommand(u"MOVE a|b"));
  EXPECT_TRUE(FCarriedOut);
  FCarriedOut = false;
  TMemoryStream FContent(std::vector<uint8_t>{'x'});
  ASSERT_TRUE(Client(FServer).PutFile(FContent, u"a"));
  EXPECT_TRUE(FCarriedOut);
}

// Change commands read the server's confirmation: "OK", an error text, or (from a server that
// confirms nothing) the close.
TEST(YunClientTest, ChangeCommandsReadTheConfirmation) {
  struct TCase {
    std::string FReply;
    TCommandResult FResult;
    std::u16string FRefusal;
  };
  const TCase FCases[] = {
      {Block("\xEF\xBB\xBFOK\r\n"), TCommandResult::Done, u""},
      {Block("OK"), TCommandResult::Done, u""},
      {"", TCommandResult::Done, u""},
      {Block("\xEF\xBB\xBFrefused (no such folder)\r\n"), TCommandResult::Refused,
       u"refused (no such folder)"},
      {BlockCount(10) + "shor", TCommandResult::Failed, u""},
  };
  for (const auto& FCase : FCases) {
    TFakeServer FServer([&](TFakeConnection& aConnection) {
      aConnection.ReadLine();
      aConnection.Stall();
      aConnection.Send(FCase.FReply);
    });
    auto FClient = Client(FServer);
    EXPECT_EQ(FClient.Command(u"MKDIR a"), FCase.FResult) << FCase.FReply;
    EXPECT_EQ(FClient.RefusalText(), FCase.FRefusal);
    TMemoryStream FContent(std::vector<uint8_t>{'x'});
    EXPECT_EQ(Client(FServer).Put(FContent, u"a"), FCase.FResult) << FCase.FReply;
  }
}

// No answer within the time-out is no confirmation; a server that stops reading fails an
// upload within about the time-out instead of holding it.
TEST(YunClientTest, StalledServerFailsChangeCommands) {
  std::atomic<bool> FRelease = false;
  TFakeServer FServer([&](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    while (!FRelease)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  const auto FStart = std::chrono::steady_clock::now();
  EXPECT_EQ(Client(FServer, 300).Command(u"DELETE a"), TCommandResult::Failed);
  TMemoryStream FBig(std::vector<uint8_t>(64 << 20));
  EXPECT_EQ(Client(FServer, 300).Put(FBig, u"a"), TCommandResult::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - FStart, std::chrono::seconds(5));
  FRelease = true;
}

TEST(YunClientTest, NoTrafficWithoutHostOrPort) {
  TFakeServer FServer(TFakeServer::Reply(Block("x")));
  TStringList FList;
  EXPECT_FALSE(TYunClient(u"", FServer.Port(), kTimeOut).DoCommand(u"GLIST", FList));
  EXPECT_FALSE(TYunClient(u"127.0.0.1", 0, kTimeOut).DoCommand(u"GLIST", FList));
  EXPECT_FALSE(TYunClient(u"127.0.0.1", 65536, kTimeOut).DoCommand(u"GLIST"));
  EXPECT_EQ(FServer.Connections(), 0);
}

TEST(YunClientTest, OnlyTheLowSixteenBitsOfThePortCount) {
  TFakeServer FServer(TFakeServer::Reply(Block("A")));
  TStringList FList;
  EXPECT_TRUE(
      TYunClient(u"127.0.0.1", 65536 + FServer.Port(), kTimeOut).DoCommand(u"GLIST", FList));
  EXPECT_EQ(FList, TStringList{u"A"});
}

TEST(YunClientTest, UnreachableServerFailsEveryOperation) {
  TYunClient FClient(u"127.0.0.1", test::ClosedPort(), kTimeOut);
  TMemoryStream FStream;
  EXPECT_FALSE(FClient.DoCommand(u"DELETE x"));
  EXPECT_FALSE(TYunClient(u"127.0.0.1", test::ClosedPort(), kTimeOut).PutFile(FStream, u"x"));
  EXPECT_FALSE(TYunClient(u"no-such-host.invalid", 8783, kTimeOut).DoCommand(u"GLIST"));
}

TEST(YunClientTest, ResetAfterDataEndsAnUnannouncedBlockNormally) {
  TFakeServer FServer([](TFakeConnection& aConnection) {
    aConnection.ReadLine();
    aConnection.Send(BlockCount(-1) + "partial");
    aConnection.Reset();
  });
  TMemoryStream FStream;
  EXPECT_TRUE(Client(FServer).GetFile(FStream, u"x"));
  EXPECT_EQ(FStream.Text(), "partial");
}

} // namespace
} // namespace zelvo
