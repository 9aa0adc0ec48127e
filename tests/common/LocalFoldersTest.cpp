#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "tests/support/TempDir.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

struct TFoldersCase {
  const char* FWhat;
  bool FInstalled;
  TUserPlaces FPlaces;
  std::u16string FHome;
  std::u16string FCache;
  std::u16string FRecovery; // the same in every layout: the student's data outlives any cache
};

TEST(LocalFoldersTest, BesideTheProgramOrInTheUsersXdgFolders) {
  const TFoldersCase FCases[] = {
      {"a build folder",
       false,
       {"/x/config", "/x/cache", "/home/a", "/x/data"},
       u"/b/",
       u"/b/Cache/",
       u"/x/data/zelvo/未上传/"},
      {"installed, XDG set",
       true,
       {"/x/config", "/x/cache/", "/home/a", "/x/data/"},
       u"/x/config/zelvo/",
       u"/x/cache/zelvo/",
       u"/x/data/zelvo/未上传/"},
      {"installed, XDG unset",
       true,
       {"", "", "/home/a", ""},
       u"/home/a/.config/zelvo/",
       u"/home/a/.cache/zelvo/",
       u"/home/a/.local/share/zelvo/未上传/"},
      {"installed, relative XDG ignored",
       true,
       {"rel/config", "rel", "/home/李", "rel"},
       u"/home/李/.config/zelvo/",
       u"/home/李/.cache/zelvo/",
       u"/home/李/.local/share/zelvo/未上传/"},
  };
  for (const auto& FCase : FCases) {
    const TLocalFolders FFolders = LocalFoldersFor(u"/b/", FCase.FInstalled, FCase.FPlaces);
    EXPECT_EQ(FFolders.FHome, FCase.FHome) << FCase.FWhat;
    EXPECT_EQ(FFolders.FCache, FCase.FCache) << FCase.FWhat;
    EXPECT_EQ(FFolders.FPerUser, FCase.FInstalled) << FCase.FWhat;
    EXPECT_EQ(RecoveryFolderFor(FCase.FPlaces), FCase.FRecovery) << FCase.FWhat;
  }
}

// One holder at a time, in this process as in others; the lock goes with its holder.
TEST(LocalFoldersTest, AFolderLockHasOneHolder) {
  test::TTempDir FDir;
  {
    const TFolderLock FFirst(FDir.Path());
    ASSERT_TRUE(FFirst.Held());
    EXPECT_FALSE(TFolderLock(FDir.Path()).Held());
    EXPECT_NE(::system(("flock -n '" + (FDir.Path() / ".lock").string() + "' true").c_str()), 0)
        << "another process is refused too";
  }
  EXPECT_TRUE(TFolderLock(FDir.Path()).Held());
}

TEST(LocalFoldersTest, AProgramFolderTheUserMayWriteToIsNotInstalled) {
  test::TTempDir FDir;
  EXPECT_FALSE(IsInstalledFolder(FDir.Path()));
  EXPECT_TRUE(IsInstalledFolder(kInstalledProgramFolder)); // even for root, who may write there
}

// The administrator's preset is copied once; the student's own settings are never replaced.
TEST(LocalFoldersTest, ThePresetSeedsTheUsersSettingsOnce) {
  test::TTempDir FDir;
  FDir.WriteFile("preset.ini", "[Setup]\nServerHost=10.1.1.1\nSysInited=1\n");
  const TLocalFolders FFolders{FDir.Text() + u"config/zelvo/", FDir.Text() + u"cache/", true};
  PrepareSettingsFolder(FFolders, FDir.Path() / "missing.ini");
  EXPECT_TRUE(fs::is_directory(FDir.Path() / "config/zelvo"));
  EXPECT_FALSE(fs::exists(FDir.Path() / "config/zelvo/setup.ini"));

  PrepareSettingsFolder(FFolders, FDir.Path() / "preset.ini");
  EXPECT_EQ(FDir.ReadFile("config/zelvo/setup.ini"), FDir.ReadFile("preset.ini"));
  FDir.WriteFile("config/zelvo/setup.ini", "[Setup]\nServerHost=own\n");
  PrepareSettingsFolder(FFolders, FDir.Path() / "preset.ini");
  EXPECT_EQ(FDir.ReadFile("config/zelvo/setup.ini"), "[Setup]\nServerHost=own\n");

  struct stat FStat {};
  ASSERT_EQ(::stat((FDir.Path() / "config/zelvo").c_str(), &FStat), 0);
  EXPECT_EQ(FStat.st_mode & 0777, 0700u);
}

TEST(LocalFoldersTest, PrivateFolderIsMadeOrMadePrivate) {
  test::TTempDir FDir;
  fs::create_directories(FDir.Path() / "open");
  fs::permissions(FDir.Path() / "open", fs::perms::all);
  for (const char* FName : {"new/below", "open"}) {
    ASSERT_TRUE(MakePrivateFolder(FDir.Path() / FName)) << FName;
    struct stat FStat {};
    ASSERT_EQ(::stat((FDir.Path() / FName).c_str(), &FStat), 0);
    EXPECT_EQ(FStat.st_mode & 0777, 0700u) << FName;
  }
  FDir.WriteFile("plain", "x");
  EXPECT_FALSE(MakePrivateFolder(FDir.Path() / "plain/below"));
}

} // namespace
} // namespace zelvo
