#include <gtest/gtest.h>

#include "platform/WinTypes.h"
#include "server/Storage.h"
#include "tests/support/TempDir.h"

namespace zelvo::server {
namespace {

class StorageTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir.WriteFile("s/home/c/u/a.txt", "abc");
    FDir.WriteFile("s/share/c/s.txt", "s");
    std::filesystem::create_symlink("/etc", FDir.Path() / "s/home/c/u/link");
  }
  test::TTempDir FDir;
  TStorage FStorage{FDir.Path() / "s"};
};

TEST_F(StorageTest, ResolveRefusesWhatLeavesOrChangesWhatItMayNot) {
  struct TCase {
    std::string FPath;
    TAccess FAccess;
    bool FAllowed;
  };
  const TCase FCases[] = {
      {"\\home\\c\\u\\\\a.txt", TAccess::Read, true},
      {"\\home\\c\\u\\\\a.txt", TAccess::Change, true},
      {"\\share\\c\\\\s.txt", TAccess::Read, true},
      {"\\share\\c\\\\s.txt", TAccess::Change, false},
      {"\\home\\c\\u", TAccess::Change, false}, // the user's root itself
      {"\\home\\c\\u\\..\\..\\..\\etc", TAccess::Read, false},
      {"\\home\\c\\u\\.\\a.txt", TAccess::Read, false},
      {"\\home\\c\\u\\a/b", TAccess::Read, false},
      {std::string("\\home\\c\\u\\a\0b", 13), TAccess::Read, false},
      {"\\home\\c\\u\\link\\passwd", TAccess::Read, false},
      {"\\etc\\passwd", TAccess::Read, false},
      {"\\home\\c\\u\\\xFF", TAccess::Read, false},
      {"", TAccess::Read, false},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FPath);
    EXPECT_EQ(FStorage.Resolve(FCase.FPath, FCase.FAccess).has_value(), FCase.FAllowed);
  }
}

TEST_F(StorageTest, ListStartsWithDotEntriesAndHidesUploadsAndLinks) {
  FDir.WriteFile("s/home/c/u/.zelvo-upload-abc", "partial");
  FDir.WriteFile("s/home/c/u/d/x", "");
  const auto FReply = FStorage.List("\\home\\c\\u\\*");
  ASSERT_TRUE(FReply);
  ASSERT_EQ(FReply->size() % kFindDataSize, 0u);
  std::map<std::u16string, WIN32_FIND_DATAW> FEntries;
  std::vector<std::u16string> FOrder;
  for (size_t i = 0; i < FReply->size(); i += kFindDataSize) {
    const auto FData = DecodeFindData(reinterpret_cast<const uint8_t*>(FReply->data()) + i);
    FOrder.push_back(FieldText(FData.cFileName));
    FEntries[FOrder.back()] = FData;
  }
  ASSERT_EQ(FOrder.size(), 4u);
  EXPECT_EQ(FOrder[0], u".");
  EXPECT_EQ(FOrder[1], u"..");
  EXPECT_EQ(FEntries[u"a.txt"].nFileSizeLow, 3u);
  EXPECT_EQ(FEntries[u"a.txt"].dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(FEntries[u"d"].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_GT(FileTimeToInt(FEntries[u"a.txt"].ftLastWriteTime), kFileTimeUnixEpoch);
  EXPECT_FALSE(FStorage.List("\\home\\c\\u\\a.txt\\*"));
}

// A pattern without the wildcard asks for one file's entry, as before an upload.
TEST_F(StorageTest, ListOfOneFullNameAnswersThatEntry) {
  const auto FNames = [&](std::string_view aPattern) {
    std::vector<std::u16string> FFound;
    const auto FReply = FStorage.List(aPattern);
    if (!FReply) return std::optional<std::vector<std::u16string>>();
    for (size_t FAt = 0; FAt + kFindDataSize <= FReply->size(); FAt += kFindDataSize)
      FFound.push_back(FieldText(
          DecodeFindData(reinterpret_cast<const uint8_t*>(FReply->data()) + FAt).cFileName));
    return std::optional(FFound);
  };
  using TNames = std::vector<std::u16string>;
  EXPECT_EQ(FNames("\\home\\c\\u\\\\a.txt"), TNames{u"a.txt"});
  EXPECT_EQ(FNames("\\home\\c\\u\\\\A.TXT"), TNames{u"a.txt"}) << "ASCII case does not count";
  EXPECT_EQ(FNames("\\home\\c\\u\\\\none.txt"), TNames{}) << "no such file: no record";
  EXPECT_EQ(FNames("\\home\\c\\u\\\\*.txt"), std::nullopt);
  EXPECT_EQ(FNames("\\home\\c\\u\\nofolder\\a.txt"), std::nullopt) << "no such folder";
}

TEST_F(StorageTest, UploadReplacesOnlyWhenCommitted) {
  const auto FTarget = *FStorage.Resolve("\\home\\c\\u\\\\a.txt", TAccess::Change);
  {
    auto FUpload = TUpload::Begin(FTarget);
    ASSERT_TRUE(FUpload);
    ASSERT_TRUE(FUpload->Write("partial", 7));
  }
  EXPECT_EQ(FDir.ReadFile("s/home/c/u/a.txt"), "abc");
  auto FUpload = TUpload::Begin(FTarget);
  ASSERT_TRUE(FUpload->Write("new", 3));
  ASSERT_TRUE(FUpload->Commit());
  EXPECT_EQ(FDir.ReadFile("s/home/c/u/a.txt"), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(FDir.Path() / "s/home/c/u"), {}), 2);
  EXPECT_FALSE(TUpload::Begin(FDir.Path() / "s/home/c/u/nodir/f"));
}

} // namespace
} // namespace zelvo::server
