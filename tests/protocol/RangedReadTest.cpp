#include <gtest/gtest.h>

#include "common/TextCodec.h"
#include "protocol/RangedRead.h"
#include "tests/support/FakeServer.h"

namespace zelvo {
namespace {

using test::Block;
using test::BlockCount;
using test::TFakeServer;

constexpr char kVersionLine[] = "OK 5000 2026-12-11 09:30:15.1234567";

TServerVersion Version() {
  return *ParseConfirmation(Utf8ToUtf16(kVersionLine));
}

// What a server may answer to "GETRANGE 100 8 \home\a\b\f", and what the client makes of it.
TEST(RangedReadTest, RepliesAndWhatTheTargetGets) {
  const std::string FHead = std::string(kVersionLine) + "\r\n";
  struct TCase {
    const char* FWhat;
    std::string FReply;
    TRangeResult FResult;
    std::string FBytes; // what reached the target
  };
  const TCase FCases[] = {
      {"the bytes", Block(FHead + "abcdefgh"), TRangeResult::Done, "abcdefgh"},
      {"fewer at the end", Block(FHead + "abc"), TRangeResult::Done, "abc"},
      {"none past the end", Block(FHead), TRangeResult::Done, ""},
      {"until the close", BlockCount(-1) + FHead + "abcd", TRangeResult::Done, "abcd"},
      {"another version", Block("OK 5000 2026-12-11 09:30:16.1234567\r\nabcdefgh"),
       TRangeResult::OtherVersion, ""},
      {"more than asked", Block(FHead + "abcdefghi"), TRangeResult::Failed, ""},
      {"no version line", Block("abcdefgh"), TRangeResult::Failed, ""},
      {"a bare line feed", Block(std::string(kVersionLine) + "\nabcdefgh"), TRangeResult::Failed,
       ""},
      {"a refusal text", Block("refused\r\n"), TRangeResult::Failed, ""},
      {"a line that never ends", Block(std::string(20000, 'x')), TRangeResult::Failed, ""},
      {"cut short", BlockCount(static_cast<int32_t>(FHead.size() + 8)) + FHead + "abc",
       TRangeResult::Failed, "abc"},
      {"a close", "", TRangeResult::Failed, ""},
  };
  for (const TCase& FCase : FCases) {
    TFakeServer FServer(TFakeServer::Reply(FCase.FReply));
    TYunClient FClient(u"127.0.0.1", FServer.Port(), 2000);
    std::string FBytes;
    TRangeReply FReply;
    const TRangeResult FResult = GetRange(
        FClient, {u"\\home\\a\\b\\f", 100, 8, Version()},
        [&](std::string_view aBytes) {
          FBytes.append(aBytes);
          return true;
        },
        FReply);
    EXPECT_EQ(FResult, FCase.FResult) << FCase.FWhat;
    EXPECT_EQ(FBytes, FCase.FBytes) << FCase.FWhat;
    EXPECT_EQ(FServer.Requests(), std::vector<std::string>{"GETRANGE 100 8 \\home\\a\\b\\f"});
  }
}

// A target that cannot take the bytes (a full disk) fails the range.
TEST(RangedReadTest, ATargetThatRefusesFailsTheRange) {
  TFakeServer FServer(TFakeServer::Reply(Block(std::string(kVersionLine) + "\r\nabcdefgh")));
  TYunClient FClient(u"127.0.0.1", FServer.Port(), 2000);
  TRangeReply FReply;
  EXPECT_EQ(
      GetRange(
          FClient, {u"\\home\\a\\b\\f", 0, 8, {}}, [](std::string_view) { return false; }, FReply),
      TRangeResult::Failed);
  EXPECT_EQ(FReply.FLength, 0);
}

} // namespace
} // namespace zelvo
