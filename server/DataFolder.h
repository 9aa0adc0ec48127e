// The server's data folder: "accounts.db" (classes and users), "storage/" (the files) and
// "serve.lock" (which server serves it).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/Accounts.h"
#include "server/Storage.h"

namespace zelvo::server {

inline constexpr char kDemoPassword[] = "zelvo123";
// Characters a password set by the administrator needs at least.
inline constexpr size_t kMinPasswordLength = 8;

std::filesystem::path DatabasePath(const std::filesystem::path& aFolder);
std::filesystem::path StoragePath(const std::filesystem::path& aFolder);

// Creates what is missing of a data folder; keeps what is there.
void InitDataFolder(const std::filesystem::path& aFolder);

// Why a class or user name cannot be used, or empty when it can. Names travel inside
// space-separated request lines and become path parts.
std::string NameProblem(std::string_view aName, bool aIsClass);

// The one server of a data folder. Two servers on one folder would undo each other's saves and
// remove each other's uploads under way, so "serve" holds this from before its clean-up until it
// ends. It is a POSIX record lock on "serve.lock", which the kernel drops when the process ends
// however it ends, and which network file systems with lock support (GlusterFS, NFS) hold across
// machines: a server started on another machine that mounts the same folder is refused while
// this one lives. The file's text names the holder for that refusal. Not thread-safe; one object
// per process.
class TServeLock {
public:
  TServeLock(const TServeLock&) = delete;
  TServeLock& operator=(const TServeLock&) = delete;
  ~TServeLock();

  // Takes the lock; null when another process holds it, with aHolder set to what it wrote.
  // Raises std::runtime_error when the file cannot be opened or locked at all.
  static std::unique_ptr<TServeLock> Take(const std::filesystem::path& aFolder,
                                          std::string& aHolder);
  // Writes who holds the lock (one line), for a second server's refusal.
  void Describe(const std::string& aHolder);

private:
  explicit TServeLock(int aFd) : FFd(aFd) {}
  int FFd;
};

// Copies teachers' files into a class share ("storage/share/<class>/<aTo>") as the server's own
// files: owned by the storage folder's owner (when run as root), folders 0700 and files 0600, as
// the server makes them. A folder is copied with what it holds. Each file is written beside its
// place and renamed into it, so a student's download never sees half a file; a file of the same
// name is replaced. aTo is a relative folder inside the share, made when missing. Things that
// are neither files nor folders, and names a student's drive cannot show, are skipped. aReport
// gets one line per thing done or skipped. Raises std::runtime_error for an unusable aTo, a
// missing source, or a failed copy (what was copied before stays).
void AddToShare(const std::filesystem::path& aFolder, const std::string& aClass,
                const std::vector<std::filesystem::path>& aSources,
                const std::filesystem::path& aTo,
                const std::function<void(const std::string&)>& aReport);

// Adds the demo classes, students (all with kDemoPassword) and sample files.
void AddDemoData(TAccounts& aAccounts, const TStorage& aStorage);

} // namespace zelvo::server
