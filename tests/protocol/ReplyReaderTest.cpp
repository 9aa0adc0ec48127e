// The framing of replies and its bounds, read from a buffer handed out in small pieces (as a
// socket may), without a server.
#include <future>
#include <gtest/gtest.h>

#include "common/Streams.h"
#include "common/TextCodec.h"
#include "platform/WinTypes.h"
#include "protocol/ReplyReader.h"
#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

using test::Block;
using test::BlockCount;
using test::ListingCount;

// The bytes of a reply, handed out at most aPiece at a time, then the given end.
class TBufferSource final : public TByteSource {
public:
  TBufferSource(std::string aBytes, size_t aPiece = 7, TReceiveStatus aEnd = TReceiveStatus::Closed)
      : FBytes(std::move(aBytes)), FPiece(aPiece), FEnd(aEnd) {}
  TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aGot) override {
    aGot = std::min({aCapacity, FPiece, FBytes.size() - FAt});
    if (aGot == 0) return FEnd;
    std::copy_n(FBytes.data() + FAt, aGot, static_cast<char*>(aBuffer));
    FAt += aGot;
    return TReceiveStatus::Data;
  }

private:
  std::string FBytes;
  size_t FPiece;
  TReceiveStatus FEnd;
  size_t FAt = 0;
};

TEST(ReplyReaderTest, BlocksWithinTheirBounds) {
  const TBlockBounds FSmall{10, 5};
  struct TCase {
    const char* FWhat;
    std::string FReply;
    TBlockBounds FBounds;
    TReplyFault FFault;
    std::string FStored;
  };
  const TCase FCases[] = {
      {"counted", Block("0123456789"), FSmall, TReplyFault::None, "0123456789"},
      {"counted, empty", Block(""), FSmall, TReplyFault::None, ""},
      {"count over the bound: nothing read", Block("0123456789A"), FSmall, TReplyFault::Oversized,
       ""},
      {"cut short", BlockCount(10) + "0123", FSmall, TReplyFault::Network, "0123"},
      {"header cut short", std::string("\0\0", 2), FSmall, TReplyFault::Network, ""},
      {"until close", BlockCount(-1) + "01234", FSmall, TReplyFault::None, "01234"},
      {"until close, past its bound", BlockCount(-1) + "012345", FSmall, TReplyFault::Oversized,
       ""},
      {"any negative count is until close", BlockCount(-7) + "ab", FSmall, TReplyFault::None, "ab"},
      {"download: the listed size", Block("0123"), DownloadBounds(4), TReplyFault::None, "0123"},
      {"download: grown a little", Block(std::string(100, 'g')), DownloadBounds(4),
       TReplyFault::None, std::string(100, 'g')},
      {"download: past the listed size and 1 MiB", BlockCount(4 + kDownloadSlack + 1),
       DownloadBounds(4), TReplyFault::Oversized, ""},
      {"download until close: past the listed size", BlockCount(-1) + "01234", DownloadBounds(4),
       TReplyFault::Oversized, ""},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FWhat);
    TBufferSource FSource(FCase.FReply, 3);
    TMemoryStream FStream;
    EXPECT_EQ(ReadBlock(FSource, FStream, FCase.FBounds), FCase.FFault);
    // What was stored before the bound was found is never more than the bound allows.
    if (FCase.FFault != TReplyFault::Oversized) {
      EXPECT_EQ(FStream.Text(), FCase.FStored);
    }
    EXPECT_LE(FStream.GetSize(), FCase.FBounds.FMaxCount);
  }
  EXPECT_EQ(DownloadBounds(-1).FMaxCount, kMaxDownload);
  EXPECT_EQ(DownloadBounds(kMaxDownload).FMaxCount, kMaxDownload) << "never past 2 GiB";
}

TEST(ReplyReaderTest, Listings) {
  const std::string FRecords(2 * kFindDataSize, 'r');
  struct TCase {
    const char* FWhat;
    std::string FReply;
    TReplyFault FFault;
    size_t FStored;
  };
  const TCase FCases[] = {
      {"two records", ListingCount(2 * kFindDataSize) + FRecords, TReplyFault::None,
       FRecords.size()},
      {"empty", ListingCount(0), TReplyFault::None, 0},
      {"negative: nothing", ListingCount(0x80000000u) + "junk", TReplyFault::None, 0},
      {"cut short", ListingCount(2 * kFindDataSize) + "rr", TReplyFault::Network, 2},
      {"over the record bound", ListingCount(3 * kFindDataSize) + FRecords + FRecords,
       TReplyFault::Oversized, 0},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FWhat);
    TBufferSource FSource(FCase.FReply, 1000);
    TMemoryStream FStream;
    EXPECT_EQ(ReadListing(FSource, FStream, 2), FCase.FFault);
    EXPECT_EQ(FStream.Data().size(), FCase.FStored);
  }
}

TEST(ReplyReaderTest, Confirmations) {
  struct TCase {
    const char* FWhat;
    std::string FReply;
    TReceiveStatus FEnd;
    bool FConfirms;
    TCommandResult FResult;
  };
  using enum TCommandResult;
  const TCase FCases[] = {
      {"OK", Block("OK\r\n"), TReceiveStatus::Closed, true, Done},
      {"OK with a version", Block("OK 12 2026-12-11\r\n"), TReceiveStatus::Closed, true, Done},
      {"silent close, older server", "", TReceiveStatus::Closed, false, Done},
      {"silent close, confirming server", "", TReceiveStatus::Closed, true, Failed},
      {"reset", "", TReceiveStatus::Aborted, false, Failed},
      {"time-out", "", TReceiveStatus::TimedOut, false, Failed},
      {"empty text, confirming server", Block(""), TReceiveStatus::Closed, true, Failed},
      {"refusal", Block("refused (no such folder)"), TReceiveStatus::Closed, true, Refused},
      {"busy", Block("refused (busy)"), TReceiveStatus::Closed, true, Failed},
      {"disk full", Block("refused (disk full)"), TReceiveStatus::Closed, true, Full},
      {"until close is no confirmation", BlockCount(-1) + "OK", TReceiveStatus::Closed, false,
       Failed},
      {"too long", Block("OK" + std::string(kMaxConfirmationBytes, ' ')), TReceiveStatus::Closed,
       true, Failed},
      {"cut short", BlockCount(9) + "OK", TReceiveStatus::Closed, true, Failed},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FWhat);
    TBufferSource FSource(FCase.FReply, 5, FCase.FEnd);
    std::u16string FConfirmation;
    std::u16string FRefusal;
    EXPECT_EQ(
        JudgeConfirmation(ReadConfirmation(FSource), FCase.FConfirms, FConfirmation, FRefusal),
        FCase.FResult);
  }
}

// The stored version an "OK" carries: what the server wrote, or nothing for a line that is not
// one (signs, years no file time holds, impossible dates).
TEST(ReplyReaderTest, ConfirmedVersions) {
  const TServerVersion FVersion{1048576, FileTimeFromInt(kFileTimeUnixEpoch + 1234567)};
  EXPECT_EQ(ParseConfirmation(u"OK 1048576 1970-01-01 00:00:00.1234567"), FVersion);
  EXPECT_EQ(ParseConfirmation(Utf8ToUtf16(ConfirmationText(FVersion))), FVersion);
  for (const char16_t* FLine :
       {u"OK", u"OK 12", u"OK -1 2026-12-11 10:00:00.0000000", u"OK 1 2026-12-11 -1:00:00.0000000",
        u"OK 1 2026-12-11 10:00:00.-123456", u"OK 1 2022026-12-11 10:00:00.0000000",
        u"OK 1 1600-12-31 10:00:00.0000000", u"OK 1 2026-02-30 10:00:00.0000000",
        u"OK 1 2026-12-11 10:00:00.000000", u"OK +1 2026-12-11 10:00:00.0000000"})
    EXPECT_EQ(ParseConfirmation(FLine), std::nullopt) << Utf16ToUtf8(FLine);
}

// A server that never stops answering, a byte at a time, still ends the exchange: a text reply
// within three read time-outs, anything else once its rate falls below the floor.
TEST(ReplyReaderTest, DribblingServerMeetsTheDeadline) {
  test::TFakeServer FServer(
      [](test::TFakeConnection& aConnection) {
        aConnection.ReadLine();
        aConnection.Send(test::BlockCount(-1));
        for (int i = 0; i < 600 && aConnection.Send("x"); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
      },
      "127.0.0.1", 0, true);
  TYunClient FClient(u"127.0.0.1", FServer.Port(), 200);
  TStringList FLines;
  EXPECT_FALSE(FClient.DoCommand(u"GLIST", FLines)) << "read to the end, 60 s later";
  EXPECT_FALSE(FClient.InvalidReply());
}

TEST(ReplyReaderTest, CancelledGroupEndsItsExchanges) {
  test::TFakeServer FServer(test::TFakeServer::Silent(), "127.0.0.1", 0, true);
  const auto FGroup = std::make_shared<TExchangeGroup>();
  auto FGet = std::async(std::launch::async, [&] {
    TYunClient FClient(u"127.0.0.1", FServer.Port(), 600000, false, FGroup);
    TMemoryStream FContent;
    return FClient.GetFile(FContent, u"\\x");
  });
  ASSERT_TRUE(test::WaitUntil([&] { return FServer.Requests().size() == 1; }));
  FGroup->Cancel();
  ASSERT_EQ(FGet.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "held for the read time-out (10 minutes)";
  EXPECT_FALSE(FGet.get());
  TYunClient FLater(u"127.0.0.1", FServer.Port(), 600000, false, FGroup);
  EXPECT_FALSE(FLater.DoCommand(u"MKDIR \\x")) << "a later exchange of the group fails at once";
  EXPECT_EQ(FServer.Connections(), 1);
}

} // namespace
} // namespace zelvo
