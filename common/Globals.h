// Process-wide values.
//
// Each is one plain variable. The window thread writes them during start-up and login, before
// any other thread reads them, and nothing changes them afterwards, so no lock guards them.
// Local paths (HomeDir, CacheDir) use "/" and always end in "/"; server and drive paths use "\".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo {

// Where setup.ini lives: the executable's folder, or the user's settings folder when the
// program is installed (common/LocalFolders.h).
extern std::u16string HomeDir;
// The cache folder chosen with HomeDir: HomeDir + "Cache/", or the user's cache folder.
extern std::u16string LocalCacheDir;
extern std::u16string CacheDir; // LocalCacheDir once the settings load has created it
// Where changes the server refused for good are kept (ending in "/"); empty: the user's
// recovery folder (common/LocalFolders.h).
extern std::u16string RecoveryDir;

extern std::u16string ServerHost; // hosts separated by "|"
extern int32_t ServerPort;
extern int32_t ClientTimeOut; // milliseconds, connect and read time-out
// Seconds after which a folder's listing is fetched again when it is next looked at (0: once
// per run).
extern int32_t ListRefreshSeconds;
extern std::u16string CurrentServerHost;
extern std::u16string Root0;
extern std::u16string Root1;
extern std::u16string OwnerName;
extern std::u16string ShareVolumeName;
// The logged-in server said in its LOGIN reply that it confirms every change it carries out.
extern bool ServerConfirmsChanges;
// It said it serves ranged reads (part of a file without the whole).
extern bool ServerServesRanges;
extern bool ExitRequested;

inline constexpr int32_t kDefaultServerPort = 8783;
inline constexpr int32_t kDefaultClientTimeOut = 12000;
inline constexpr int32_t kDefaultListRefreshSeconds = 30;

// The folder part of an executable path, ending in "/".
std::u16string HomeDirFromExePath(std::u16string_view aExePath);

// Sets HomeDir and LocalCacheDir from the running executable's folder (/proc/self/exe); for an
// installed program, also prepares the user's settings folder.
void InitHomeDir();

} // namespace zelvo
