// Where the client keeps its settings and cache on this computer.
//
// Run from a folder its user may write to (a build folder, a copied program), everything stays
// beside the executable: setup.ini there, the cache in its "Cache/". Installed (the executable
// sits in the installation's program folder, or its user may not write to its folder), each user
// has their own: setup.ini in $XDG_CONFIG_HOME/zelvo/ (default ~/.config/zelvo/), first copied
// from the administrator's preset /etc/zelvo/setup.ini when there is one, and the cache in
// $XDG_CACHE_HOME/zelvo/ (default ~/.cache/zelvo/). Cache folders are private to their user.
// Changes the server refused for good are the student's data and outlive any cache: they go to
// the recovery folder $XDG_DATA_HOME/zelvo/未上传/ (default ~/.local/share/zelvo/未上传/), in
// every layout.
#pragma once

#include <filesystem>
#include <string>

namespace zelvo {

struct TLocalFolders {
  std::u16string FHome;  // setup.ini's folder, ending in "/"
  std::u16string FCache; // the cache folder, ending in "/"
  bool FPerUser = false; // true: the user's XDG folders
};

// The user's base folders as the environment gives them (empty when unset).
struct TUserPlaces {
  std::string FConfigHome; // $XDG_CONFIG_HOME
  std::string FCacheHome;  // $XDG_CACHE_HOME
  std::string FHome;       // $HOME, or the account's home folder
  std::string FDataHome;   // $XDG_DATA_HOME
};

inline constexpr char kPresetSettings[] = "/etc/zelvo/setup.ini";
extern const char kInstalledProgramFolder[]; // where the package puts the programs (/usr/bin)

TUserPlaces UserPlacesFromEnvironment();

// True when aExeDir is the installation's program folder or not writable by this user.
bool IsInstalledFolder(const std::filesystem::path& aExeDir);

TLocalFolders LocalFoldersFor(const std::u16string& aExeDir, bool aInstalled,
                              const TUserPlaces& aPlaces);

// For per-user folders: creates the settings folder (private) and, when it holds no setup.ini
// yet, copies aPreset there if that exists. Failures are left to the settings load to meet.
void PrepareSettingsFolder(const TLocalFolders& aFolders, const std::filesystem::path& aPreset);

// The recovery folder, ending in "/".
std::u16string RecoveryFolderFor(const TUserPlaces& aPlaces);

// Creates aFolder and its missing parents; aFolder itself is made private to its user (0700).
bool MakePrivateFolder(const std::filesystem::path& aFolder);

// Puts a file's content and its name in its folder on the disk (fsync of both), so a crash
// after this returns finds them; false when either failed.
bool SyncToDisk(const std::filesystem::path& aFile);

// An exclusive lock on a folder for as long as the object lives (flock on ".lock" inside), so
// that two mounts never share one cache folder. Held by this process only while it runs: a
// crashed mount leaves no lock behind.
class TFolderLock {
public:
  // Locks aFolder, or gives an unlocked object when another process (or another lock in this
  // one) holds it or the lock file cannot be made.
  explicit TFolderLock(const std::filesystem::path& aFolder);
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;
  ~TFolderLock();
  bool Held() const { return FFd >= 0; }

private:
  int FFd = -1;
};

} // namespace zelvo
