#include "common/LocalFolders.h"

#include <cstdlib>
#include <pwd.h>
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
                      Environment("HOME")};
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

} // namespace zelvo
