#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/Streams.h"
#include "common/TextCodec.h"
#include "platform/TcpSocket.h"
#include "platform/WinTypes.h"
#include "protocol/Commands.h"
#include "protocol/RangedRead.h"
#include "protocol/YunClientUnit.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;
using test::TPeerEnd;
using test::TRawPeer;
using test::TServerProcess;

constexpr char16_t kHome[] = u"\\home\\一年级一班\\张三";

TRangeTarget Into(std::string& aBytes) {
  return [&aBytes](std::string_view aPiece) {
    aBytes.append(aPiece);
    return true;
  };
}

class ServerTest : public ::testing::Test {
protected:
  // 张三 is logged in from 127.0.0.1, as a client would be before its file commands.
  void SetUp() override { ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三")); }
  TYunClient Client() { return TYunClient(u"127.0.0.1", FServer.Port(), 10000); }
  std::string Stored(const std::string& aPath) {
    return test::TTempDir::ReadPath(FServer.Storage() / aPath);
  }
  bool Exists(const std::string& aPath) {
    return std::filesystem::exists(FServer.Storage() / aPath);
  }
  TStringList Text(const std::u16string& aCmd) {
    TStringList FLines;
    EXPECT_TRUE(Client().DoCommand(aCmd, FLines));
    return FLines;
  }
  size_t LogLines() {
    const std::string FLog = FServer.Log();
    return static_cast<size_t>(std::count(FLog.begin(), FLog.end(), '\n'));
  }
  // The server logs a request once it has carried it out.
  void WaitForLogLines(size_t aCount) {
    test::WaitUntil([&] { return LogLines() >= aCount; });
  }
  // A change command and its confirmation, once the server has logged it.
  TCommandResult Command(const std::u16string& aCmd) {
    const size_t FBefore = LogLines();
    const TCommandResult FResult = Client().Command(aCmd);
    WaitForLogLines(FBefore + 1);
    return FResult;
  }
  void Send(const std::u16string& aCmd) { EXPECT_EQ(Command(aCmd), TCommandResult::Done); }
  void Refused(const std::u16string& aCmd) {
    EXPECT_EQ(Command(aCmd), TCommandResult::Refused) << Utf16ToUtf8(aCmd);
  }
  bool Put(const std::u16string& aPath, const std::string& aContent) {
    TMemoryStream FStream(std::vector<uint8_t>(aContent.begin(), aContent.end()));
    const size_t FBefore = LogLines();
    const bool FOk = Client().PutFile(FStream, aPath);
    WaitForLogLines(FBefore + 1);
    return FOk;
  }

  TServerProcess FServer;
};

TEST_F(ServerTest, ClassesUsersAndLogin) {
  EXPECT_EQ(Text(GlistRequest()), (TStringList{u"一年级一班", u"一年级二班", u"教师组"}));
  EXPECT_EQ(Text(UlistRequest(u"一年级二班")), (TStringList{u"赵六", u"孙七"}));
  EXPECT_EQ(Text(UlistRequest(u"无此班")), TStringList{});

  const auto FLogin = Text(LoginRequest(u"一年级一班", u"张三", u"zelvo123"));
  ASSERT_EQ(FLogin.size(), 7u);
  EXPECT_EQ(FLogin[0], kHome);
  EXPECT_EQ(FLogin[1], u"\\share\\一年级一班");
  EXPECT_EQ(FLogin[2], u"张三");
  EXPECT_EQ(FLogin[3], u"一年级一班共享空间");
  EXPECT_EQ(FLogin[4].size(), 23u); // yyyy-MM-dd hh:mm:ss.zzz
  EXPECT_EQ(FLogin[5], u"CONFIRMS 1") << "a line older clients leave unread";
  EXPECT_EQ(FLogin[6], u"RANGES 1");
  EXPECT_TRUE(Text(LoginRequest(u"一年级一班", u"张三", u"wrong")).empty());
  EXPECT_TRUE(Text(LoginRequest(u"一年级一班", u"无名", u"zelvo123")).empty());
  EXPECT_EQ(FServer.Log().find("zelvo123"), std::string::npos) << "passwords stay out of the log";
}

TEST_F(ServerTest, PasswordChangeStripsTheHostSuffix) {
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "李四"));
  Send(ChgpswRequest(u"一年级一班(127.0.0.1)", u"李四", u"new pass"));
  EXPECT_TRUE(Text(LoginRequest(u"一年级一班", u"李四", u"zelvo123")).empty());
  EXPECT_EQ(Text(LoginRequest(u"一年级一班", u"李四", u"new pass")).size(), 7u);
}

TEST_F(ServerTest, ListingRecords) {
  std::vector<uint8_t> FBuf;
  ASSERT_TRUE(Client().DoCommand(ListRequest(std::u16string(kHome) + u"\\"), FBuf));
  ASSERT_EQ(FBuf.size() % kFindDataSize, 0u);
  std::map<std::u16string, WIN32_FIND_DATAW> FEntries;
  for (size_t i = 0; i < FBuf.size(); i += kFindDataSize) {
    const auto FData = DecodeFindData(FBuf.data() + i);
    FEntries[FieldText(FData.cFileName)] = FData;
  }
  EXPECT_TRUE(FEntries.contains(u"."));
  EXPECT_EQ(FEntries[u"作业"].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(FEntries[u"照片集.zip"].nFileSizeLow,
            std::filesystem::file_size(FServer.Storage() / "home/一年级一班/张三/照片集.zip"));
  std::vector<uint8_t> FMissing;
  EXPECT_FALSE(Client().DoCommand(ListRequest(std::u16string(kHome) + u"\\\\nothing"), FMissing));
}

TEST_F(ServerTest, GetPutDeleteMoveMkdir) {
  const std::u16string FFile = std::u16string(kHome) + u"\\\\作业\\notes.txt";
  TMemoryStream FStream;
  ASSERT_TRUE(Client().GetFile(FStream, FFile));
  EXPECT_EQ(FStream.Text(), "plain ASCII notes\n");
  TMemoryStream FBig;
  ASSERT_TRUE(Client().GetFile(FBig, std::u16string(kHome) + u"\\\\资料\\大文件.bin"));
  EXPECT_EQ(FBig.Text(), Stored("home/一年级一班/张三/资料/大文件.bin"));
  EXPECT_FALSE(Client().GetFile(FStream, std::u16string(kHome) + u"\\\\missing"));
  EXPECT_FALSE(Client().GetFile(FStream, std::u16string(kHome) + u"\\\\作业"));

  ASSERT_TRUE(Put(std::u16string(kHome) + u"\\\\新文件.txt", "new content"));
  EXPECT_EQ(Stored("home/一年级一班/张三/新文件.txt"), "new content");
  ASSERT_TRUE(Put(std::u16string(kHome) + u"\\\\empty", ""));
  EXPECT_EQ(Stored("home/一年级一班/张三/empty"), "");

  Send(MkdirRequest(std::u16string(kHome) + u"\\\\新目录"));
  EXPECT_TRUE(std::filesystem::is_directory(FServer.Storage() / "home/一年级一班/张三/新目录"));
  Send(MoveRequest(std::u16string(kHome) + u"\\\\新文件.txt",
                   std::u16string(kHome) + u"\\\\新目录\\a b.txt"));
  EXPECT_EQ(Stored("home/一年级一班/张三/新目录/a b.txt"), "new content");
  Send(MoveRequest(std::u16string(kHome) + u"\\\\empty",
                   std::u16string(kHome) + u"\\\\新目录\\a b.txt"));
  EXPECT_EQ(Stored("home/一年级一班/张三/新目录/a b.txt"), "");
  Refused(DeleteRequest(std::u16string(kHome) + u"\\\\新目录"));
  EXPECT_TRUE(Exists("home/一年级一班/张三/新目录")) << "a folder with entries stays";
  Send(DeleteRequest(std::u16string(kHome) + u"\\\\新目录\\a b.txt"));
  Send(DeleteRequest(std::u16string(kHome) + u"\\\\新目录"));
  EXPECT_FALSE(Exists("home/一年级一班/张三/新目录"));
}

TEST_F(ServerTest, SharedSpaceAndPathsOutsideTheStorageAreRefused) {
  const std::u16string FShare = u"\\share\\一年级一班\\\\课程表.txt";
  const std::string FBefore = Stored("share/一年级一班/课程表.txt");
  TMemoryStream FStream;
  ASSERT_TRUE(Client().GetFile(FStream, FShare));
  EXPECT_FALSE(Put(FShare, "overwritten")); // the refusal is told
  Refused(DeleteRequest(FShare));
  Refused(MoveRequest(FShare, std::u16string(kHome) + u"\\\\x"));
  Refused(MkdirRequest(u"\\share\\一年级一班\\\\d"));
  Refused(DeleteRequest(kHome));
  Refused(MkdirRequest(u"\\home\\..\\..\\escaped"));
  EXPECT_EQ(Stored("share/一年级一班/课程表.txt"), FBefore);
  EXPECT_FALSE(Exists("share/一年级一班/d"));
  EXPECT_TRUE(Exists("home/一年级一班/张三"));
  EXPECT_FALSE(std::filesystem::exists(FServer.Folder() / "escaped"));
  EXPECT_FALSE(std::filesystem::exists(FServer.Folder().parent_path() / "escaped"));
  EXPECT_FALSE(Client().GetFile(FStream, u"\\home\\..\\accounts.db"));
  EXPECT_FALSE(Client().GetFile(FStream, u"\\home\\一年级一班\\张三\\..\\..\\..\\accounts.db"));
}

// Part of a file with the version it belongs to: the same version a PUT confirms and a listing
// gives, the bytes cut at the file's end, and the same refusals as a GET.
TEST_F(ServerTest, RangesCarryTheirBytesAndTheFilesVersion) {
  std::string FContent(300000, '\0');
  for (size_t i = 0; i < FContent.size(); ++i)
    FContent[i] = static_cast<char>(i * 7 + i / 251);
  const std::u16string FFile = std::u16string(kHome) + u"\\作业\\大 文件.bin";
  TMemoryStream FStream(std::vector<uint8_t>(FContent.begin(), FContent.end()));
  TYunClient FPutter(u"127.0.0.1", FServer.Port(), 10000, true);
  ASSERT_TRUE(FPutter.PutFile(FStream, FFile));
  const auto FStored = ParseConfirmation(FPutter.ConfirmationLine());
  ASSERT_TRUE(FStored);
  struct TCase {
    int64_t FOffset, FLength;
    size_t FBytes; // what comes back
  };
  for (const TCase FCase :
       {TCase{0, 4096, 4096}, TCase{123457, 1, 1}, TCase{299000, 4096, 1000}, TCase{300000, 10, 0},
        TCase{1 << 30, 10, 0}, TCase{0, kMaxRangeLength, 300000}}) {
    TYunClient FClient = Client();
    std::string FBytes;
    TRangeReply FReply;
    ASSERT_EQ(
        GetRange(FClient, {FFile, FCase.FOffset, FCase.FLength, FStored}, Into(FBytes), FReply),
        TRangeResult::Done)
        << FCase.FOffset;
    EXPECT_EQ(FReply.FVersion, *FStored);
    ASSERT_EQ(FBytes.size(), FCase.FBytes) << FCase.FOffset;
    EXPECT_EQ(FReply.FLength, static_cast<int64_t>(FCase.FBytes));
    if (FCase.FBytes > 0) {
      EXPECT_EQ(FBytes, FContent.substr(static_cast<size_t>(FCase.FOffset), FCase.FBytes));
    }
  }
  // A client that holds other bytes of another version hears so before any byte is taken.
  TServerVersion FOlder = *FStored;
  FOlder.FSize -= 1;
  std::string FBytes;
  TRangeReply FReply;
  TYunClient FClient = Client();
  EXPECT_EQ(GetRange(FClient, {FFile, 0, 4096, FOlder}, Into(FBytes), FReply),
            TRangeResult::OtherVersion);
  EXPECT_EQ(FReply.FVersion, *FStored);
  EXPECT_EQ(FBytes, "");
  for (const std::string FLine :
       {"GETRANGE -1 10 ", "GETRANGE 0 0 ", "GETRANGE x 10 ", "GETRANGE 0 16777217 ",
        "GETRANGE 0 10 \\home\\一年级一班\\张三\\无此文件",
        "GETRANGE 0 10 \\home\\..\\accounts.db"}) {
    TRawPeer FPeer(FServer.Port());
    FPeer.Send(FLine + (FLine.back() == ' ' ? Utf16ToUtf8(FFile) : "") + "\r\n");
    TPeerEnd FEnd = TPeerEnd::TimedOut;
    EXPECT_EQ(FPeer.Receive(100, 10000, &FEnd), "") << FLine;
    EXPECT_EQ(FEnd, TPeerEnd::Closed) << FLine;
  }
  // Another address has no session: refused like a GET.
  TYunClient FStranger(u"127.0.0.1", FServer.Port(), 10000);
  FStranger.LeaveFrom("127.0.0.9");
  EXPECT_EQ(GetRange(FStranger, {FFile, 0, 10, {}}, Into(FBytes), FReply), TRangeResult::Failed);
}

TEST_F(ServerTest, BrokenUploadNeverReplacesTheStoredFile) {
  const std::string FBefore = Stored("home/一年级一班/张三/欢迎使用.txt");
  const size_t FLines = LogLines();
  {
    TRawPeer FPeer(FServer.Port());
    FPeer.Send("PUT \\home\\一年级一班\\张三\\\\欢迎使用.txt\r\n" + std::string("\0\0\x03\xE8", 4) +
               std::string(600, 'x'));
  }
  WaitForLogLines(FLines + 1);
  EXPECT_NE(FServer.Log().find("failed"), std::string::npos);
  EXPECT_EQ(Stored("home/一年级一班/张三/欢迎使用.txt"), FBefore);
  for (const auto& FEntry :
       std::filesystem::directory_iterator(FServer.Storage() / "home/一年级一班/张三"))
    EXPECT_FALSE(FEntry.path().filename().string().starts_with(".zelvo-upload-"));
}

TEST_F(ServerTest, OversizedRequestLineIsRefused) {
  TRawPeer FPeer(FServer.Port());
  FPeer.Send("GET " + std::string(70 * 1024, 'a'));
  TPeerEnd FEnd{};
  EXPECT_EQ(FPeer.ReceiveAll(10000, &FEnd), "");
  EXPECT_EQ(FEnd, TPeerEnd::Closed);
  EXPECT_EQ(Text(GlistRequest()).size(), 3u);
}

TEST_F(ServerTest, FilesOfTwoGibibytesGoWithoutACount) {
  std::filesystem::resize_file(FServer.Storage() / "home/一年级一班/张三/作业/notes.txt",
                               0x80000000LL);
  TRawPeer FPeer(FServer.Port());
  FPeer.Send("GET \\home\\一年级一班\\张三\\\\作业\\notes.txt\r\n");
  EXPECT_EQ(FPeer.Receive(4), std::string(4, '\xFF'));
}

TEST_F(ServerTest, ConcurrentGetAndPutNeverServeATornFile) {
  const std::u16string FPath = std::u16string(kHome) + u"\\\\torn.bin";
  const std::string FVersions[] = {std::string(300000, 'a'), std::string(500000, 'b')};
  ASSERT_TRUE(Put(FPath, FVersions[0]));
  std::atomic<bool> FStop = false;
  std::thread FWriter([&] {
    for (int i = 0; i < 40 && !FStop; ++i) {
      TMemoryStream FStream(std::vector<uint8_t>(FVersions[i % 2].begin(), FVersions[i % 2].end()));
      Client().PutFile(FStream, FPath);
    }
  });
  int FReads = 0;
  for (; FReads < 40; ++FReads) {
    TMemoryStream FStream;
    ASSERT_TRUE(Client().GetFile(FStream, FPath));
    const std::string FText = FStream.Text();
    EXPECT_TRUE(FText == FVersions[0] || FText == FVersions[1]) << "size " << FText.size();
  }
  FStop = true;
  FWriter.join();
}

TEST(ServerLimitsTest, StalledClientsBlockNobodyAndTimeOut) {
  TServerProcess FServer({.FIdleTimeOutMs = 3000, .FMaxConnections = 8});
  std::vector<std::unique_ptr<TRawPeer>> FStalled;
  for (int i = 0; i < 4; ++i)
    FStalled.push_back(std::make_unique<TRawPeer>(FServer.Port()));
  FStalled[0]->Send("PUT \\home\\一年级一班\\张三\\\\slow\r\n" + std::string("\0\0\x10\0", 4));
  TStringList FClasses;
  const auto FStart = std::chrono::steady_clock::now();
  EXPECT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 5000).DoCommand(GlistRequest(), FClasses));
  EXPECT_EQ(FClasses.size(), 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - FStart, 2000ms) << "not held up by the stalled ones";
  for (auto& FPeer : FStalled) {
    TPeerEnd FEnd{};
    EXPECT_EQ(FPeer->ReceiveAll(10000, &FEnd), "");
    EXPECT_EQ(FEnd, TPeerEnd::Closed) << "the server closes idle connections";
  }
}

TEST(ServerLimitsTest, ConnectionsPastTheBoundAreClosed) {
  TServerProcess FServer({.FMaxConnections = 2});
  TRawPeer FFirst(FServer.Port());
  TRawPeer FSecond(FServer.Port());
  TRawPeer FThird(FServer.Port());
  TPeerEnd FEnd{};
  EXPECT_EQ(FThird.ReceiveAll(5000, &FEnd), "");
  EXPECT_EQ(FEnd, TPeerEnd::Closed);
}

TEST(ServerToolTest, AddUserReadsThePasswordAndChecksNames) {
  TServerProcess FServer({.FDemo = false});
  const std::string FFolder = FServer.Folder().string();
  std::string FOutput;
  EXPECT_EQ(TServerProcess::RunTool("add-user '" + FFolder + "' 三班 小明 2>&1",
                                    "secret one\nignored\n", &FOutput),
            0);
  EXPECT_EQ(FOutput, "class 三班 does not exist yet: it is created\nadded 三班 小明\n");
  // An existing student is never reset by a slip: that takes --reset or set-password.
  EXPECT_EQ(TServerProcess::RunTool("add-user '" + FFolder + "' 三班 小明 2>&1", "second one\n",
                                    &FOutput),
            1);
  EXPECT_NE(FOutput.find("exists already; nothing changed (add-user --reset"), std::string::npos)
      << FOutput;
  EXPECT_EQ(TServerProcess::RunTool("add-user --reset '" + FFolder + "' 三班 小明 2>&1",
                                    "second one\n", &FOutput),
            0);
  EXPECT_EQ(FOutput, "password of 三班 小明 changed; their sessions end\n");
  EXPECT_EQ(TServerProcess::RunTool("set-password '" + FFolder + "' 三班 无名 2>&1",
                                    "long enough\n", &FOutput),
            1);
  EXPECT_NE(TServerProcess::RunTool("add-user '" + FFolder + "' 三班 小红", "short\n"), 0);
  EXPECT_NE(TServerProcess::RunTool("add-user '" + FFolder + "' 'a(b' x", "long enough\n"), 0);
  EXPECT_NE(TServerProcess::RunTool("add-user '" + FFolder + "' c '..'", "long enough\n"), 0);
  EXPECT_NE(TServerProcess::RunTool("add-user '" + FFolder + "' c 'x y'", "long enough\n"), 0);
  EXPECT_NE(TServerProcess::RunTool("add-user '" + FFolder + "' c u", "\n"), 0);
  TStringList FLines;
  ASSERT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 10000)
                  .DoCommand(LoginRequest(u"三班", u"小明", u"second one"), FLines));
  EXPECT_EQ(FLines.size(), 7u);
  ASSERT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 10000).DoCommand(GlistRequest(), FLines));
  EXPECT_EQ(FLines, TStringList{u"三班"});
  const std::string FDatabase = test::TTempDir::ReadPath(FServer.Folder() / "accounts.db");
  EXPECT_EQ(FDatabase.find("second one"), std::string::npos) << "no password in clear";
  EXPECT_NE(FDatabase.find("$argon2id$"), std::string::npos);
}

// While it serves: a list of the students, and a removed student who can no longer get in,
// whose session ends and whose files stay unless the administrator asks.
TEST(ServerToolTest, ListAndRemoveStudentsWhileServing) {
  TServerProcess FServer;
  const std::string FFolder = "'" + FServer.Folder().string() + "'";
  std::string FOutput;
  ASSERT_EQ(TServerProcess::RunTool("list-users " + FFolder + " 一年级二班", "", &FOutput), 0);
  EXPECT_EQ(FOutput, "一年级二班 赵六\n一年级二班 孙七\n");
  ASSERT_EQ(TServerProcess::RunTool("list-users " + FFolder, "", &FOutput), 0);
  EXPECT_TRUE(FOutput.starts_with("一年级一班 张三\n一年级一班 李四\n")) << FOutput;
  EXPECT_NE(TServerProcess::RunTool("list-users " + FFolder + " 无此班"), 0);

  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  const auto FGets = [&] {
    TMemoryStream FContent;
    return TYunClient(u"127.0.0.1", FServer.Port(), 10000)
        .GetFile(FContent, std::u16string(kHome) + u"\\欢迎使用.txt");
  };
  ASSERT_TRUE(FGets());
  ASSERT_EQ(TServerProcess::RunTool("remove-user " + FFolder + " 一年级一班 张三", "", &FOutput),
            0);
  EXPECT_NE(FOutput.find("their files stay in "), std::string::npos) << FOutput;
  EXPECT_FALSE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  EXPECT_TRUE(test::WaitUntil([&] { return !FGets(); })) << "the session ends";
  const auto FHome = FServer.Storage() / "home/一年级一班/张三";
  EXPECT_TRUE(std::filesystem::exists(FHome / "欢迎使用.txt"));
  EXPECT_EQ(TServerProcess::RunTool("remove-user " + FFolder + " 一年级一班 张三"), 1);

  ASSERT_EQ(TServerProcess::RunTool("remove-user --delete-files " + FFolder + " 一年级一班 李四"),
            0);
  EXPECT_FALSE(std::filesystem::exists(FServer.Storage() / "home/一年级一班/李四"));
  EXPECT_NE(TServerProcess::RunTool("remove-user --delete-files " + FFolder + " 一年级一班 '..'"),
            0);
  EXPECT_TRUE(std::filesystem::exists(FHome));
}

// A teacher's files reach the class without touching the data folder by hand: the class's
// students get them, they are the server's own files, and a half-copied file is never seen.
TEST(ServerToolTest, ShareAddPutsFilesInTheClassShare) {
  TServerProcess FServer;
  test::TTempDir FTeacher;
  std::filesystem::create_directories(FTeacher.Path() / "第三章/图");
  std::ofstream(FTeacher.Path() / "讲义.txt") << "第三章 讲义";
  std::ofstream(FTeacher.Path() / "第三章/图/1.txt") << "图一";
  std::ofstream(FTeacher.Path() / "第三章/line\nbreak") << "x";
  std::filesystem::permissions(FTeacher.Path() / "讲义.txt", std::filesystem::perms::owner_read);
  const auto FStorage = FServer.Storage();
  // Run as root, the copies belong to whoever owns the storage folder, as the server's do.
  const bool FRoot = ::geteuid() == 0;
  if (FRoot) {
    ASSERT_EQ(::chown(FStorage.c_str(), 65534, 65534), 0);
  }
  const std::string FFolder = "'" + FServer.Folder().string() + "'";
  const std::string FFrom = "'" + FTeacher.Path().string() + "/";
  std::string FOutput;
  ASSERT_EQ(TServerProcess::RunTool("share-add " + FFolder + " 一年级一班 " + FFrom + "讲义.txt' " +
                                        FFrom + "第三章' --to 课件/新 2>&1",
                                    "", &FOutput),
            0)
      << FOutput;
  EXPECT_NE(FOutput.find("copied "), std::string::npos) << FOutput;
  EXPECT_NE(FOutput.find("skipped "), std::string::npos) << "the name with a line break";

  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  const auto FGet = [&](const std::u16string& aPath) {
    TMemoryStream FContent;
    EXPECT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 10000).GetFile(FContent, aPath));
    return FContent.Text();
  };
  EXPECT_EQ(FGet(u"\\share\\一年级一班\\课件\\新\\讲义.txt"), "第三章 讲义");
  EXPECT_EQ(FGet(u"\\share\\一年级一班\\课件\\新\\第三章\\图\\1.txt"), "图一");
  const auto FShare = FStorage / "share/一年级一班/课件/新";
  for (const auto& [FPath, FMode] :
       {std::pair{FShare / "讲义.txt", 0600u}, std::pair{FShare / "第三章/图", 0700u},
        std::pair{FShare, 0700u}}) {
    struct stat FStat {};
    ASSERT_EQ(::stat(FPath.c_str(), &FStat), 0) << FPath;
    EXPECT_EQ(FStat.st_mode & 0777, FMode) << FPath;
    if (FRoot) {
      EXPECT_EQ(FStat.st_uid, 65534u) << FPath;
    }
  }
  // A newer handout replaces the old one.
  std::filesystem::permissions(FTeacher.Path() / "讲义.txt", std::filesystem::perms::owner_all);
  std::ofstream(FTeacher.Path() / "讲义.txt") << "改过的讲义";
  ASSERT_EQ(TServerProcess::RunTool("share-add " + FFolder + " 一年级一班 " + FFrom +
                                        "讲义.txt' --to 课件/新",
                                    "", &FOutput),
            0);
  EXPECT_TRUE(FOutput.starts_with("replaced ")) << FOutput;
  EXPECT_EQ(FGet(u"\\share\\一年级一班\\课件\\新\\讲义.txt"), "改过的讲义");
  for (const auto& FEntry : std::filesystem::directory_iterator(FShare))
    EXPECT_FALSE(FEntry.path().filename().string().starts_with(".zelvo")) << FEntry.path();

  for (const std::string& FBad :
       {" 无此班 " + FFrom + "讲义.txt'", " 一年级一班 " + FFrom + "无.txt'",
        " 一年级一班 " + FFrom + "讲义.txt' --to ../../home",
        " 一年级一班 " + FFrom + "讲义.txt' --to /tmp"})
    EXPECT_EQ(TServerProcess::RunTool("share-add " + FFolder + FBad), 1) << FBad;
  EXPECT_FALSE(std::filesystem::exists(FStorage / "home/讲义.txt"));
}

// A server taking over a data folder (another machine's, on a shared volume) while the first
// still serves it would remove that one's uploads under way and undo its saves.
TEST(ServerToolTest, OneDataFolderHasOneServerAtATime) {
  TServerProcess FServer;
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  const std::string FFolder = "'" + FServer.Folder().string() + "'";
  std::string FOutput;
  EXPECT_EQ(TServerProcess::RunTool("serve " + FFolder + " --port 0 2>&1", "", &FOutput), 1);
  EXPECT_NE(FOutput.find("is served already (pid " + std::to_string(FServer.Pid()) + " on "),
            std::string::npos)
      << FOutput;
  EXPECT_NE(FOutput.find("listening on 127.0.0.1:" + std::to_string(FServer.Port())),
            std::string::npos)
      << FOutput;

  FServer.Kill();
  const auto FLeftover = FServer.Storage() / "home/一年级一班/张三/.zelvo-upload-cut";
  std::ofstream(FLeftover) << "half";
  FServer.Start();
  EXPECT_FALSE(std::filesystem::exists(FLeftover));
  // The student's session outlived the process: no second login.
  TMemoryStream FContent;
  EXPECT_TRUE(TYunClient(u"127.0.0.1", FServer.Port(), 10000)
                  .GetFile(FContent, u"\\home\\一年级一班\\张三\\欢迎使用.txt"));
  EXPECT_GT(FContent.GetSize(), 0);
}

} // namespace
} // namespace zelvo
