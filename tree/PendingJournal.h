// The journal of pending changes: files whose content the server has not taken yet (the upload
// failed or was refused), so that nothing written is lost across failures and restarts.
//
// Each entry names a file by the server and its full name on that server, the cache file that
// holds its content, and the server's version it was made from (a line of three fields, or five
// with the base's size and last-write time as a 100 ns count). That cache file is named after the
// same two (PendingFileName), so it belongs to the file across runs, not to a run's node handle.
// The journal lives in the cache folder as one small text file, rewritten whole and atomically (a
// temporary file renamed over it) at every change, so a crash leaves either the old or the new
// journal.
//
// Entries of other students and servers share the file and are kept as they are.
//
// Threads: any; one mutex (FLock) guards the entries and the file. Open() is called once per
// facade, before the drives serve. Errors writing the journal are reported on stderr and leave
// the entries in memory (a full cache disk must not fail the drive).
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ServerVersion.h"

namespace zelvo {

struct TPendingEntry {
  std::u16string FServer;
  std::u16string FFullName;  // server path, "\" separators
  std::u16string FCacheFile; // local path of the content
  // The server's version the content was made from (none for content made here): whoever
  // sends it checks that the server still has that version, or makes a conflict copy.
  std::optional<TServerVersion> FBase;
  bool operator==(const TPendingEntry&) const = default;
};

class TPendingJournal {
public:
  // Uses aCacheDir's journal ("pending.journal"), loading what an earlier run left.
  void Open(const std::u16string& aCacheDir);
  // Adds or replaces the entry of (server, full name).
  void Add(const TPendingEntry& aEntry);
  void Remove(const std::u16string& aServer, const std::u16string& aFullName);
  bool Contains(const std::u16string& aServer, const std::u16string& aFullName) const;
  // The entries of aServer whose full names lie below one of aRoots.
  std::vector<TPendingEntry> EntriesBelow(const std::u16string& aServer,
                                          const std::vector<std::u16string>& aRoots) const;
  std::vector<TPendingEntry> Entries() const;

  // The cache file of a pending (server, full name) in aCacheDir.
  static std::u16string PendingFileName(const std::u16string& aCacheDir,
                                        const std::u16string& aServer,
                                        const std::u16string& aFullName);

private:
  void SaveLocked() const;

  mutable std::mutex FLock; // guards FPath and FEntries
  std::filesystem::path FPath;
  std::vector<TPendingEntry> FEntries;
};

// The process's journal (the cache folder is process-wide too).
TPendingJournal& PendingChanges();

// Removes the cache files of aCacheDir that hold nothing pending: after the drives are down, so
// the next user of a shared machine finds none of this one's files.
void CleanCacheFolder(const std::u16string& aCacheDir);

} // namespace zelvo
