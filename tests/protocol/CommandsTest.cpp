#include <gtest/gtest.h>

#include "protocol/Commands.h"
#include "protocol/YunClientUnit.h"
#include "tests/support/FakeServer.h"

namespace zelvo {
namespace {

TEST(CommandsTest, RequestTexts) {
  const std::pair<std::u16string, std::u16string> FCases[] = {
      {GlistRequest(), u"GLIST"},
      {UlistRequest(u"一班"), u"ULIST 一班"},
      {LoginRequest(u"一班", u"张三", u"pass word"), u"LOGIN 一班 张三 pass word"},
      {ChgpswRequest(u"一班(127.0.0.1)", u"张三", u"new pw"),
       u"CHGPSW 一班(127.0.0.1) 张三 new pw"},
      {ListRequest(u"\\x"), u"LIST \\x\\*"},
      {ListRequest(u"\\home\\c\\u\\"), u"LIST \\home\\c\\u\\\\*"},
      {GetRequest(u"\\r\\\\a.txt"), u"GET \\r\\\\a.txt"},
      {PutRequest(u"\\r\\\\a.txt"), u"PUT \\r\\\\a.txt"},
      {DeleteRequest(u"\\r\\\\d"), u"DELETE \\r\\\\d"},
      {MoveRequest(u"\\r\\\\a", u"\\r\\\\b c"), u"MOVE \\r\\\\a|\\r\\\\b c"},
      {MkdirRequest(u"\\r\\\\新"), u"MKDIR \\r\\\\新"},
  };
  for (const auto& [FText, FExpected] : FCases)
    EXPECT_EQ(FText, FExpected);
}

// What reaches the wire for the catalogue's examples, byte for byte.
TEST(CommandsTest, RequestBytesOnTheWire) {
  test::TFakeServer FServer(test::TFakeServer::Reply(test::Block("")));
  TStringList FList;
  ASSERT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 2000)
                  .DoCommand(LoginRequest(u"一班", u"张三", u"pw"), FList));
  ASSERT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 2000)
                  .DoCommand(ChgpswRequest(u"一班(127.0.0.1)", u"张三", u"n p")));
  ASSERT_TRUE(FServer.WaitHandled(2));
  EXPECT_EQ(FServer.Requests(),
            (std::vector<std::string>{"LOGIN \xE4\xB8\x80\xE7\x8F\xAD \xE5\xBC\xA0\xE4\xB8\x89 pw",
                                      "CHGPSW \xE4\xB8\x80\xE7\x8F\xAD(127.0.0.1) "
                                      "\xE5\xBC\xA0\xE4\xB8\x89 n p"}));
}

} // namespace
} // namespace zelvo
