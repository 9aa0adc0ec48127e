// The campus load tool against two real servers: it adds the students each server lacks to that
// server's data folder, splits the classes between them, and loses no file.
#include <gtest/gtest.h>
#include <string>

#include "common/TextCodec.h"
#include "platform/WinTypes.h"
#include "protocol/Commands.h"
#include "protocol/YunClientUnit.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Shell.h"

namespace zelvo {
namespace {

using test::TServerProcess;

TStringList Students(const TServerProcess& aServer, const std::string& aHost,
                     const std::u16string& aClass) {
  TStringList FUsers;
  EXPECT_TRUE(TYunClient(Utf8ToUtf16(aHost), aServer.Port(), 10000)
                  .DoCommand(UlistRequest(aClass), FUsers));
  return FUsers;
}

TEST(CampusLoadTest, TwoServersShareTheClassesAndNothingIsLost) {
  TServerProcess FFirst({.FDemo = false, .FListen = "127.0.0.3"});
  TServerProcess FSecond({.FDemo = false, .FListen = "127.0.0.4"});
  // A busy machine may turn some of the students' logins away ("busy", counted as errors): that is
  // load, not a fault. What must hold is that the tool runs against both and nothing is lost.
  const std::string FServers =
      "127.0.0.3:" + std::to_string(FFirst.Port()) + ",127.0.0.4:" + std::to_string(FSecond.Port());
  std::string FOutput;
  // 45 students: a class of 40 on the first server, one of 5 on the second.
  ASSERT_EQ(test::Shell(std::string(ZELVO_CAMPUS_LOAD_BIN) + " --servers " + FServers +
                            " --students 45 --seconds 5 --login-within 1 --think 100 --prepare '" +
                            FFirst.Folder().string() + "','" + FSecond.Folder().string() + "'",
                        &FOutput),
            0)
      << FOutput;
  const std::string FLast = FOutput.substr(FOutput.rfind("campus-load: "));
  EXPECT_TRUE(FLast.starts_with("campus-load: 45 students, 2 servers, ")) << FOutput;
  EXPECT_NE(FLast.find(" req/s, p50 "), std::string::npos) << FOutput;
  EXPECT_TRUE(FLast.ends_with(", lost 0\n")) << FOutput;
  EXPECT_EQ(FOutput.find("logged in: 0 of"), std::string::npos) << FOutput;
  for (const char* FCommand : {"LOGIN ", "LIST ", "PUT ", "GET "})
    EXPECT_NE(FOutput.find(std::string("\n") + FCommand), std::string::npos) << FOutput;
  EXPECT_EQ(Students(FFirst, "127.0.0.3", u"班级1").size(), 40u);
  EXPECT_EQ(Students(FSecond, "127.0.0.4", u"班级2").size(), 5u);
  EXPECT_TRUE(Students(FFirst, "127.0.0.3", u"班级2").empty());
}

} // namespace
} // namespace zelvo
