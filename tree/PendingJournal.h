// The journal of pending changes: files whose content the server has not taken yet (the upload
// failed or was refused), so that nothing written is lost across failures, crashes and restarts.
//
// Each entry names a file by the server (host and port) and its full name on that server, the
// cache file that holds its content, the server's version it was made from, and how often the
// server refused it (the write-back queue's count, WriteBackQueue.h). That cache file is named
// after the same three (PendingFileName), so it belongs to the file across runs, not to a run's
// node handle, and it always lies in the cache folder: the journal stores its bare name.
//
// One line per entry, tab-separated, escaped fields: "2", host, port, full name, content file
// name, base size, base last-write time (a 100 ns count; both empty without a base), refusals,
// last outcome. Lines of the first format (host, full name, content path [, base size, base
// time]) are read as entries of the default port when their content lies in the cache folder.
// A line that is malformed, or whose content file is not a plain file name in the cache folder
// (a path, "..", a link), is never used: the journal as it was is set aside under a new name
// (SetAside) and rewritten without those lines.
//
// The journal is rewritten whole at every change: a temporary file, fsynced, renamed over it,
// the folder fsynced; so a crash leaves either the old or the new journal, and a change counts
// as recorded only when Add returned true.
//
// Entries of other students and servers share the file and are kept as they are (one mount
// uses a cache folder at a time: TFolderLock).
//
// Threads: any; one mutex (FLock) guards the entries and the file. Open() is called once per
// facade, before the drives serve.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ServerVersion.h"

namespace zelvo {

struct TPendingEntry {
  std::u16string FServer;
  int32_t FPort = 0;
  std::u16string FFullName;  // server path, "\" separators
  std::u16string FCacheFile; // local path of the content, in the cache folder
  // The server's version the content was made from (none for content made here): whoever
  // sends it checks that the server still has that version, or makes a conflict copy.
  std::optional<TServerVersion> FBase;
  int32_t FRefusals = 0;       // tries the server refused (not counting "not now")
  std::u16string FLastOutcome; // of the last try, as the server or the exchange put it
  bool operator==(const TPendingEntry&) const = default;
  bool SameFile(const std::u16string& aServer, int32_t aPort,
                const std::u16string& aFullName) const {
    return FServer == aServer && FPort == aPort && FFullName == aFullName;
  }
};

class TPendingJournal {
public:
  // Uses aCacheDir's journal ("pending.journal"), loading what an earlier run left. Gives the
  // file the unusable lines were set aside in, or an empty path when all were usable.
  std::filesystem::path Open(const std::u16string& aCacheDir);
  // Adds or replaces the entry of (server, port, full name); false when the journal could not be
  // written to the disk (a new entry is then not added; a replaced one keeps its new fields).
  bool Add(const TPendingEntry& aEntry);
  void Remove(const std::u16string& aServer, int32_t aPort, const std::u16string& aFullName);
  std::optional<TPendingEntry> Find(const std::u16string& aServer, int32_t aPort,
                                    const std::u16string& aFullName) const;
  // The entries of (aServer, aPort) whose full names lie below aRoot.
  std::vector<TPendingEntry> EntriesBelow(const std::u16string& aServer, int32_t aPort,
                                          const std::u16string& aRoot) const;
  std::vector<TPendingEntry> Entries() const;

  // The cache file of a pending (server, port, full name) in aCacheDir.
  static std::u16string PendingFileName(const std::u16string& aCacheDir,
                                        const std::u16string& aServer, int32_t aPort,
                                        const std::u16string& aFullName);

private:
  bool SaveLocked() const;

  mutable std::mutex FLock; // guards FPath and FEntries
  std::filesystem::path FPath;
  std::vector<TPendingEntry> FEntries;
};

// The process's journal (one cache folder per process).
TPendingJournal& PendingChanges();

// Removes the cache files of aCacheDir that hold nothing pending: after the drives are down, so
// the next user of a shared machine finds none of this one's files.
void CleanCacheFolder(const std::u16string& aCacheDir);

} // namespace zelvo
