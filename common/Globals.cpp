#include "common/Globals.h"

#include <filesystem>

#include "common/LocalFolders.h"
#include "common/TextCodec.h"

namespace zelvo {

std::u16string HomeDir;
std::u16string LocalCacheDir;
std::u16string CacheDir;
std::u16string RecoveryDir;
std::u16string ServerHost = u"127.0.0.1";
int32_t ServerPort = kDefaultServerPort;
int32_t ClientTimeOut = kDefaultClientTimeOut;
int32_t ListRefreshSeconds = kDefaultListRefreshSeconds;
std::u16string CurrentServerHost = u"127.0.0.1";
std::u16string Root0;
std::u16string Root1;
std::u16string OwnerName;
std::u16string ShareVolumeName;
bool ServerConfirmsChanges = false;
bool ServerServesRanges = false;
bool ExitRequested = false;

std::u16string HomeDirFromExePath(std::u16string_view aExePath) {
  const auto FSlash = aExePath.rfind(u'/');
  std::u16string FResult(FSlash == std::u16string_view::npos ? std::u16string_view{}
                                                             : aExePath.substr(0, FSlash + 1));
  if (FResult.empty() || FResult.back() != u'/') FResult += u'/';
  return FResult;
}

void InitHomeDir() {
  std::error_code FError;
  const auto FExe = std::filesystem::read_symlink("/proc/self/exe", FError);
  const std::u16string FExeDir =
      HomeDirFromExePath(FError ? std::u16string(u"./") : Utf8ToUtf16(FExe.string()));
  const TLocalFolders FFolders = LocalFoldersFor(FExeDir, IsInstalledFolder(Utf16ToUtf8(FExeDir)),
                                                 UserPlacesFromEnvironment());
  PrepareSettingsFolder(FFolders, kPresetSettings);
  HomeDir = FFolders.FHome;
  LocalCacheDir = FFolders.FCache;
}

} // namespace zelvo
