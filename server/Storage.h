// The server's file storage: every user's own root "\home\<class>\<user>" and every class's
// shared root "\share\<class>", kept as folders below one storage folder.
//
// Server paths are split at "\" with empty parts skipped; a part "." or "..", a part holding "/"
// or NUL, bytes that are not UTF-8, or a path that leads through a symbolic link out of the root
// it names (a user's home, a class's share) is refused, so no request reaches outside it: a link
// in a home that leads into a share or another home changes nothing there. Changes are allowed
// only inside a user's own root (never the root itself, never below "\share"). Folders are made
// 0700 and files 0600. Thread-safe: no state besides the storage folder's path; uploads replace
// files by an atomic rename, the file and the rename synced to the disk first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "protocol/ServerVersion.h"

namespace zelvo::server {

enum class TAccess { Read, Change };

// Whose space a server path lies in: a user's home ("\home\<class>\<user>..."), or a class's
// share ("\share\<class>...", FUser empty).
struct TPlace {
  bool FShare = false;
  std::string FClass;
  std::string FUser;
};

class TStorage {
public:
  explicit TStorage(std::filesystem::path aFolder);

  // The local path of a server path (UTF-8), or none when the request must be refused (outside
  // the roots, not allowed for aAccess, or naming an upload under way: TUpload::kTempPrefix).
  std::optional<std::filesystem::path> Resolve(std::string_view aServerPath, TAccess aAccess) const;

  // The place of a server path; none when it lies in neither kind of root.
  static std::optional<TPlace> PlaceOf(std::string_view aServerPath);
  // LIST: aPattern is a folder's server path followed by "\*". The reply data: "." and ".."
  // first, then one 592-byte record per entry. None when the folder does not exist.
  // A pattern without the wildcard is a file's full name: the reply holds its one record, or
  // none when the folder has no such entry (ASCII letters match without case, the exact name
  // first). None when the folder does not exist.
  std::optional<std::string> List(std::string_view aPattern) const;

  // A folder's listing written out as it is read (never whole in memory): to a file of its own,
  // unnamed, in the storage folder (in the system's temporary folder on file systems that cannot
  // make unnamed files), closed with the object.
  struct TListingFile {
    TListingFile() = default;
    TListingFile(const TListingFile&) = delete;
    TListingFile& operator=(const TListingFile&) = delete;
    ~TListingFile();
    int FFd = -1;
    uint64_t FSize = 0;
    bool FTooMany = false; // more than kMaxListed entries: nothing written
  };
  static constexpr uint64_t kMaxListed = 1'000'000;
  // The same reply as List; null when List gives none or the file cannot be written.
  std::unique_ptr<TListingFile> ListToFile(std::string_view aPattern) const;

  // The stored version of a local file (after an upload), or none.
  static std::optional<TServerVersion> VersionOf(const std::filesystem::path& aPath);
  // The version of a file as its stat gives it.
  static TServerVersion VersionOf(const struct stat& aStat);

  bool Delete(std::string_view aServerPath) const; // a file or an empty folder
  bool Move(std::string_view aFromTo) const;       // "old|new"; replaces a file at new
  bool MakeDirectory(std::string_view aServerPath) const;

  // Creates the folders of a login's two roots.
  void EnsureRoots(std::string_view aClass, std::string_view aUser) const;
  // Removes what uploads cut off by a crash left behind; the number removed.
  int RemoveLeftoverUploads() const;

  const std::filesystem::path& Folder() const { return FFolder; }

private:
  std::optional<std::string> Entry(std::string_view aFullName) const;
  // A folder's records ("." and ".." first) handed to aFlush a piece (kListPiece) at a time;
  // false when the folder is not there or aFlush said stop.
  bool ListFolder(std::string_view aPattern, const std::function<bool(std::string&)>& aFlush) const;
  std::unique_ptr<TListingFile> WriteListing(const std::string& aRecords,
                                             std::unique_ptr<TListingFile> aFile) const;
  static constexpr size_t kListPiece = 1 << 20;

  std::filesystem::path FFolder;
};

// A file being uploaded: written to a hidden temporary file beside the target and renamed into
// place by Commit only. Destroyed without Commit, it leaves the target untouched.
class TUpload {
public:
  static std::optional<TUpload> Begin(const std::filesystem::path& aTarget);
  TUpload(TUpload&& aOther) noexcept;
  TUpload& operator=(TUpload&&) = delete;
  TUpload(const TUpload&) = delete;
  ~TUpload();

  bool Write(const void* aData, size_t aCount);
  bool Commit();

  static constexpr std::string_view kTempPrefix = ".zelvo-upload-";

private:
  TUpload(int aFd, std::filesystem::path aTemp, std::filesystem::path aTarget);
  int FFd;
  std::filesystem::path FTemp;
  std::filesystem::path FTarget;
};

} // namespace zelvo::server
