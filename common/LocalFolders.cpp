#include "common/LocalFolders.h"

#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/TextCodec.h"

namespace zelvo {

const char kInstalledProgramFolder[] = ZELVO_INSTALL_BINDIR;

namespace {

namespace fs = std::filesystem;

std::string Environment(const char* aName) {
  const char* FValue = std::getenv(aName);
  return FValue ? FValue : "";
}

// An XDG base folder: the variable when it holds an absolute path (relative ones are ignored,
// as the XDG rules ask), else the default below the home folder.
fs::path BaseFolder(const std::string& aVariable, const std::string& aHome, const char* aDefault) {
  if (!aVariable.empty() && aVariable.front() == '/') return aVariable;
  return fs::path(aHome) / aDefault;
}

std::u16string FolderText(const fs::path& aFolder) {
  std::u16string FText = Utf8ToUtf16(aFolder.string());
  if (FText.empty() || FText.back() != u'/') FText += u'/';
  return FText;
}

} // namespace

TUserPlaces UserPlacesFromEnvironment() {
  TUserPlaces FPlaces{Environment("XDG_CONFIG_HOME"), Environment("XDG_CACHE_HOME"),
                      Environment("HOME"), Environment("XDG_DATA_HOME")};
  if (FPlaces.FHome.empty())
    if (const passwd* FAccount = ::getpwuid(::getuid())) FPlaces.FHome = FAccount->pw_dir;
  return FPlaces;
}

bool IsInstalledFolder(const fs::path& aExeDir) {
  std::error_code FError;
  const fs::path FHere = fs::weakly_canonical(aExeDir, FError);
  if (!FError && FHere == fs::weakly_canonical(kInstalledProgramFolder, FError)) return true;
  return ::access(aExeDir.c_str(), W_OK) != 0;
}

TLocalFolders LocalFoldersFor(const std::u16string& aExeDir, bool aInstalled,
                              const TUserPlaces& aPlaces) {
  if (!aInstalled) return {aExeDir, aExeDir + u"Cache/", false};
  return {FolderText(BaseFolder(aPlaces.FConfigHome, aPlaces.FHome, ".config") / "zelvo"),
          FolderText(BaseFolder(aPlaces.FCacheHome, aPlaces.FHome, ".cache") / "zelvo"), true};
}

void PrepareSettingsFolder(const TLocalFolders& aFolders, const fs::path& aPreset) {
  if (!aFolders.FPerUser) return;
  const fs::path FFolder = Utf16ToUtf8(aFolders.FHome);
  MakePrivateFolder(FFolder);
  std::error_code FIgnored;
  if (!fs::exists(FFolder / "setup.ini", FIgnored) && fs::is_regular_file(aPreset, FIgnored))
    fs::copy_file(aPreset, FFolder / "setup.ini", FIgnored);
}

bool MakePrivateFolder(const fs::path& aFolder) {
  std::error_code FError;
  fs::create_directories(aFolder, FError);
  if (FError) return false;
  fs::permissions(aFolder, fs::perms::owner_all, fs::perm_options::replace, FError);
  return !FError;
}

std::u16string RecoveryFolderFor(const TUserPlaces& aPlaces) {
  return FolderText(BaseFolder(aPlaces.FDataHome, aPlaces.FHome, ".local/share") / "zelvo" /
                    fs::path(u8"未上传"));
}

namespace {

bool SyncOne(const fs::path& aPath, int aFlags) {
  const int FFd = ::open(aPath.c_str(), aFlags | O_CLOEXEC);
  if (FFd < 0) return false;
  const bool FSynced = ::fsync(FFd) == 0;
  ::close(FFd);
  return FSynced;
}

} // namespace

bool SyncToDisk(const fs::path& aFile) {
  const fs::path FFolder = aFile.has_parent_path() ? aFile.parent_path() : fs::path(".");
  return SyncOne(aFile, O_RDONLY) && SyncOne(FFolder, O_RDONLY | O_DIRECTORY);
}

TFolderLock::TFolderLock(const fs::path& aFolder) {
  FFd = ::open((aFolder / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FFd >= 0 && ::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(FFd);
    FFd = -1;
  }
}

TFolderLock::~TFolderLock() {
  if (FFd >= 0) ::close(FFd);
}

} // namespace zelvo
