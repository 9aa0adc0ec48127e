#include "platform/LastError.h"
#include "platform/WinError.h"
#include "server/ZipWriter.h"
#include "tests/tree/TreeFixture.h"
#include "tree/ZipArchive.h"

namespace zelvo {
namespace {

using server::MakeZip;
using server::TZipEntry;
using test::ListingReply;
using test::Record;

std::unique_ptr<TZipArchive> OpenZip(const std::string& aBytes) {
  return std::make_unique<TZipArchive>(
      std::make_unique<TMemoryStream>(std::vector<uint8_t>(aBytes.begin(), aBytes.end())));
}

std::string ExtractText(TZipArchive& aArchive, size_t aIndex) {
  TMemoryStream FOut;
  aArchive.Extract(aIndex, FOut);
  return FOut.Text();
}

std::string Pattern(size_t aSize) {
  std::string FData(aSize, '\0');
  for (size_t i = 0; i < aSize; ++i)
    FData[i] = static_cast<char>((i * 131) ^ (i >> 7));
  return FData;
}

TEST(ZipArchiveTest, ReadsWhatCommonToolsWrite) {
  const std::string FBig = Pattern(300000);
  for (const bool FZip64 : {false, true}) {
    auto FArchive = OpenZip(MakeZip({{"stored.bin", FBig, false},
                                     {"deflated.bin", FBig},
                                     {"dd.txt", "described later", true, true, true},
                                     {"\xD6\xD0\xCE\xC4.txt", "gbk name", true, false},
                                     {"empty", "", true}},
                                    FZip64));
    const auto& FEntries = FArchive->Entries();
    ASSERT_EQ(FEntries.size(), 5u);
    EXPECT_EQ(FEntries[3].FName, u"中文.txt");
    EXPECT_EQ(FEntries[1].FUncompressedSize, FBig.size());
    EXPECT_EQ(ExtractText(*FArchive, 0), FBig);
    EXPECT_EQ(ExtractText(*FArchive, 1), FBig);
    EXPECT_EQ(ExtractText(*FArchive, 2), "described later");
    EXPECT_EQ(ExtractText(*FArchive, 3), "gbk name");
    EXPECT_EQ(ExtractText(*FArchive, 4), "");
  }
}

TEST(ZipArchiveTest, UnreadableArchivesAndEntriesGiveErrors) {
  const std::string FGood = MakeZip({{"a.txt", "content of a"}});
  EXPECT_THROW(OpenZip(""), EZipError);
  EXPECT_THROW(OpenZip("this is not a zip archive at all, just text"), EZipError);
  EXPECT_THROW(OpenZip(FGood.substr(0, FGood.size() - 10)), EZipError);
  EXPECT_THROW(OpenZip(FGood.substr(FGood.size() - 30)), EZipError) << "directory outside";

  struct TCase {
    TZipEntry FEntry;
    std::string FError;
  };
  const TCase FCases[] = {
      {{"enc", "secret", true, true, false, 0x0001},
       "the zip entry is encrypted and cannot be read"},
      {{"bz2", "data", false, true, false, 0, 12},
       "the zip entry uses compression method 12, which cannot be read"},
  };
  for (const auto& FCase : FCases) {
    auto FArchive = OpenZip(MakeZip({FCase.FEntry}));
    TMemoryStream FOut;
    try {
      FArchive->Extract(0, FOut);
      ADD_FAILURE() << FCase.FError;
    } catch (const EZipError& aError) {
      EXPECT_EQ(aError.what(), FCase.FError);
    }
  }

  std::string FBadLocal = FGood;
  FBadLocal[0] = 'X';
  TMemoryStream FOut;
  try {
    OpenZip(FBadLocal)->Extract(0, FOut);
    ADD_FAILURE();
  } catch (const EZipError& aError) {
    EXPECT_STREQ(aError.what(), "Invalid Zip Local Header signature");
  }
  std::string FBadCrc = FGood;
  FBadCrc[14] ^= 1; // the local CRC is not used; the central one is
  FBadCrc[FGood.find("PK\x01\x02") + 16] ^= 1;
  EXPECT_THROW(OpenZip(FBadCrc)->Extract(0, FOut), EZipError);
}

// A directory that claims 10 bytes for data that inflates to far more: nothing past 10 bytes
// is ever written.
TEST(ZipArchiveTest, ExtractionStopsAtTheRecordedSize) {
  std::string FArchive = MakeZip({{"bomb", std::string(1 << 20, 'z')}});
  const size_t FCentral = FArchive.find("PK\x01\x02");
  FArchive[FCentral + 24] = 10;
  for (int i = 25; i < 28; ++i)
    FArchive[FCentral + i] = 0;
  TMemoryStream FOut;
  EXPECT_THROW(OpenZip(FArchive)->Extract(0, FOut), EZipError);
  EXPECT_LE(FOut.GetSize(), 10);
}

// Archives on a drive, built into folders.
class ZipFolderTest : public test::TreeTest {
protected:
  void Serve(const std::string& aArchive) {
    UseServer(FPeer.Port());
    FPeer.Reply("LIST \\r\\\\*",
                ListingReply({Record(u"a.zip", 32, aArchive.size()), Record(u"x.txt", 32, 1)}));
    FPeer.Reply("GET \\r\\\\a.zip", test::Block(aArchive));
    FRoot = MakeRoot(u"\\r");
    FListing = test::Listed(*FRoot);
  }
  // The names of a folder's entries, folders marked with a trailing "/".
  std::vector<std::u16string> Names(std::u16string_view aPath) {
    std::vector<std::u16string> FNames;
    TFileInfo* FFolder = Find(aPath);
    TFileInfo* FChild = FFolder ? test::Listed(*FFolder) : nullptr;
    for (size_t i = 0; FChild && i < FChild->Count(); ++i)
      FNames.push_back(FChild->Items(i)->FileName() + (FChild->Items(i)->IsDir() ? u"/" : u""));
    return FNames;
  }
  std::string Read(std::u16string_view aPath) { return ReadAll(*Find(aPath)); }
  // A path's node, the archive along it fetched and built first, as the facade does.
  TFileInfo* Find(std::u16string_view aPath) {
    test::ListAlong(*FListing, aPath);
    return FListing->FindFile(aPath);
  }

  test::TRecordingPeer FPeer;
  std::unique_ptr<TFileInfo> FRoot;
  TFileInfo* FListing = nullptr;
};

TEST_F(ZipFolderTest, EntriesBecomeATree) {
  const std::string FArchive = MakeZip({{"a.txt", "top"},
                                        {"d/e.txt", "in d", false},
                                        {"d\\back.txt", "backslash"},
                                        {"D/f.txt", "same folder"},
                                        {"a.txt", "again"},
                                        {"inner.zip", "not built"},
                                        {"g/", "", false},
                                        {"g/h/", "", false},
                                        {"g/h/i.txt", "deep"},
                                        {"\xD6\xD0.txt", "gbk", true, false}});
  Serve(FArchive);
  TFileInfo* FNode = FListing->ThisFindFile(u"a.zip");
  EXPECT_EQ(FNode->FileAttributes(), 16u);
  EXPECT_EQ(Names(u"\\a.zip"), (std::vector<std::u16string>{u"a.txt", u"d/", u"a.txt",
                                                            u"inner.zip/", u"g/", u"中.txt"}));
  EXPECT_EQ(FNode->Size(), static_cast<int64_t>(FArchive.size()));
  EXPECT_EQ(Names(u"\\a.zip\\D"), (std::vector<std::u16string>{u"e.txt", u"back.txt", u"f.txt"}));
  EXPECT_EQ(Names(u"\\a.zip\\g\\h"), std::vector<std::u16string>{u"i.txt"});
  EXPECT_TRUE(Names(u"\\a.zip\\inner.zip").empty());
  EXPECT_EQ(Read(u"\\a.zip\\a.txt"), "top");
  EXPECT_EQ(Read(u"\\a.zip\\d\\e.txt"), "in d");
  EXPECT_EQ(Read(u"\\a.zip\\g\\h\\i.txt"), "deep");
  EXPECT_EQ(Read(u"\\a.zip\\中.txt"), "gbk");
  EXPECT_EQ(Find(u"\\a.zip\\d\\e.txt")->FullName(), u"\\r\\\\a.zip\\d\\e.txt");
}

TEST_F(ZipFolderTest, InsideIsReadOnlyAndNothingIsSent) {
  Serve(MakeZip({{"a.txt", "top"}, {"d/e.txt", "in d"}}));
  TFileInfo* FArchive = test::Listed(*FListing->FindFile(u"\\a.zip"));
  TFileInfo* FEntry = FArchive->ThisFindFile(u"a.txt");
  uint32_t FDone = 0;
  EXPECT_FALSE(FEntry->Write("x", 1, FDone, 0));
  EXPECT_FALSE(FEntry->SetSize(1));
  EXPECT_FALSE(test::MakeDir(*FArchive, u"new"));
  EXPECT_FALSE(test::Delete(*FArchive, u"a.txt"));
  EXPECT_FALSE(test::Move(*FListing, u"\\a.zip\\a.txt", u"\\a.zip\\b.txt", true));
  EXPECT_FALSE(test::Move(*FListing, u"\\x.txt", u"\\a.zip\\a.txt", true))
      << "no replacing an entry";
  EXPECT_FALSE(test::Delete(*FListing, u"a.zip")) << "an archive with entries";
  EXPECT_EQ(FArchive->CreateOpenFile(u"new.txt", CREATE_NEW), kInvalidNodeHandle);
  EXPECT_EQ(FArchive->CreateOpenFile(u"new.txt", OPEN_ALWAYS), kInvalidNodeHandle);
  EXPECT_EQ(FArchive->CreateOpenFile(u"a.txt", TRUNCATE_EXISTING), kInvalidNodeHandle);
  SetLastError(0);
  EXPECT_EQ(FArchive->CreateOpenFile(u"a.txt", CREATE_NEW), kInvalidNodeHandle);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(FArchive->CreateOpenFile(u"D", CREATE_NEW), FArchive->ThisFindFile(u"d")->Handle());
  const uint32_t FHandle = FArchive->CreateOpenFile(u"a.txt", OPEN_EXISTING);
  EXPECT_EQ(Read(u"\\a.zip\\a.txt"), "top");
  EXPECT_TRUE(test::Close(*FListing, FHandle, false));
  EXPECT_EQ(FPeer.Requests(2), (std::vector<std::string>{"LIST \\r\\\\*", "GET \\r\\\\a.zip"}));
}

TEST_F(ZipFolderTest, ArchivesThatAreNotZipShowEmpty) {
  const std::string FGood = MakeZip({{"a.txt", "top"}});
  for (const std::string& FBytes : {std::string("plain text, not an archive"), std::string(),
                                    FGood.substr(0, FGood.size() / 2)}) {
    Serve(FBytes);
    EXPECT_TRUE(Names(u"\\a.zip").empty());
    EXPECT_TRUE(FListing->ThisFindFile(u"a.zip")->IsDir());
  }
}

TEST_F(ZipFolderTest, FailedExtractionIsNeverServed) {
  std::string FArchive = MakeZip({{"a.txt", std::string(5000, 'a')}});
  FArchive[40] ^= 0x55; // damage the deflated data
  Serve(FArchive);
  TFileInfo* FEntry = Find(u"\\a.zip\\a.txt");
  ASSERT_NE(FEntry, nullptr);
  char FBuffer[16];
  uint32_t FGot = 0;
  for (int FTry = 0; FTry < 2; ++FTry)
    EXPECT_THROW(FEntry->Read(FBuffer, 16, FGot, 0), EZipError);
  EXPECT_FALSE(FEntry->Cached());
}

TEST_F(ZipFolderTest, FailedDownloadIsTriedAgain) {
  const std::string FGood = MakeZip({{"a.txt", "top"}});
  Serve(FGood);
  FPeer.ReplyTwice("GET \\r\\\\a.zip", test::BlockCount(100) + "short", test::Block(FGood));
  TFileInfo* FNode = FListing->ThisFindFile(u"a.zip");
  EXPECT_EQ(test::Listed(*FNode), nullptr);
  FNode->ForgetFetchFailure(); // opened again
  EXPECT_EQ(Names(u"\\a.zip"), std::vector<std::u16string>{u"a.txt"});
}

} // namespace
} // namespace zelvo
