#include "server/Storage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/TextCodec.h"
#include "platform/WinTypes.h"

namespace zelvo::server {
namespace fs = std::filesystem;
namespace {

std::optional<std::vector<std::string>> SplitServerPath(std::string_view aPath) {
  if (!IsValidUtf8(aPath)) return std::nullopt;
  std::vector<std::string> FParts;
  size_t FStart = 0;
  while (FStart <= aPath.size()) {
    const size_t FEnd = std::min(aPath.find('\\', FStart), aPath.size());
    const std::string_view FPart = aPath.substr(FStart, FEnd - FStart);
    FStart = FEnd + 1;
    if (FPart.empty()) continue;
    if (FPart == "." || FPart == ".." ||
        FPart.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
      return std::nullopt;
    FParts.emplace_back(FPart);
  }
  return FParts;
}

// Read: anything below "home" or "share". Change: strictly below a user's own root.
bool Allowed(const std::vector<std::string>& aParts, TAccess aAccess) {
  if (aParts.empty()) return false;
  if (aAccess == TAccess::Read) return aParts[0] == "home" || aParts[0] == "share";
  return aParts[0] == "home" && aParts.size() >= 4;
}

bool InsideFolder(const fs::path& aPath, const fs::path& aFolder) {
  std::error_code FError;
  const fs::path FReal = fs::weakly_canonical(aPath, FError);
  if (FError) return false;
  const fs::path FRoot = fs::weakly_canonical(aFolder, FError);
  if (FError) return false;
  const auto FRelative = FReal.lexically_relative(FRoot);
  return !FRelative.empty() && *FRelative.begin() != "..";
}

// The root a path names: a user's home, a class's share, else the area ("home", "share").
fs::path RootOf(const fs::path& aStorage, const std::vector<std::string>& aParts) {
  const size_t FDepth = aParts[0] == "home" ? 3 : 2;
  fs::path FRoot = aStorage;
  for (size_t i = 0; i < std::min(FDepth, aParts.size()); ++i)
    FRoot /= aParts[i];
  return FRoot;
}

FILETIME ToFileTime(const timespec& aTime) {
  return FileTimeFromInt(kFileTimeUnixEpoch + int64_t{aTime.tv_sec} * 10000000 +
                         aTime.tv_nsec / 100);
}

WIN32_FIND_DATAW FindDataOf(const std::u16string& aName, const struct stat& aStat) {
  WIN32_FIND_DATAW FData;
  FData.dwFileAttributes =
      S_ISDIR(aStat.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  FData.ftCreationTime = ToFileTime(aStat.st_ctim);
  FData.ftLastAccessTime = ToFileTime(aStat.st_atim);
  FData.ftLastWriteTime = ToFileTime(aStat.st_mtim);
  const auto FSize = S_ISDIR(aStat.st_mode) ? 0 : static_cast<uint64_t>(aStat.st_size);
  FData.nFileSizeHigh = static_cast<uint32_t>(FSize >> 32);
  FData.nFileSizeLow = static_cast<uint32_t>(FSize);
  SetFieldText(FData.cFileName, aName);
  return FData;
}

void AppendRecord(std::string& aReply, const WIN32_FIND_DATAW& aData) {
  const auto FBytes = EncodeFindData(aData);
  aReply.append(FBytes.begin(), FBytes.end());
}

// One entry's record, unless it is one that a listing does not show (names the protocol cannot
// carry, uploads under way, links and other special files); false when nothing was appended.
bool AppendListed(std::string& aReply, const fs::path& aPath) {
  const std::string FName = aPath.filename().string();
  struct stat FStat {};
  if (FName.starts_with(TUpload::kTempPrefix) || !IsValidUtf8(FName) ||
      ::lstat(aPath.c_str(), &FStat) != 0 || !(S_ISDIR(FStat.st_mode) || S_ISREG(FStat.st_mode)))
    return false;
  const std::u16string FWideName = Utf8ToUtf16(FName);
  if (FWideName.size() >= MAX_PATH) return false;
  AppendRecord(aReply, FindDataOf(FWideName, FStat));
  return true;
}

bool WriteAll(int aFd, std::string_view aBytes) {
  while (!aBytes.empty()) {
    const ssize_t FWritten = ::write(aFd, aBytes.data(), aBytes.size());
    if (FWritten < 0 && errno == EINTR) continue;
    if (FWritten <= 0) return false;
    aBytes.remove_prefix(static_cast<size_t>(FWritten));
  }
  return true;
}

bool SameAsciiName(std::string_view aLeft, std::string_view aRight) {
  return std::ranges::equal(aLeft, aRight, [](char aA, char aB) {
    const auto FFold = [](char aC) { return aC >= 'A' && aC <= 'Z' ? char(aC - 'A' + 'a') : aC; };
    return FFold(aA) == FFold(aB);
  });
}

// An unnamed file for a listing: in the storage folder, whose disk is sized for the files, else
// in the system's temporary folder where the storage's file system has no O_TMPFILE (GlusterFS).
int OpenListingFile(const fs::path& aFolder) {
  const int FFd = ::open(aFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (FFd >= 0) return FFd;
  std::error_code FError;
  const fs::path FTemp = fs::temp_directory_path(FError);
  return FError ? -1 : ::open(FTemp.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Puts a rename in aPath's folder on the disk. File systems that cannot sync a folder say EINVAL;
// their renames are as safe as they get.
bool SyncFolder(const fs::path& aPath) {
  const int FFd = ::open(aPath.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FFd < 0) return false;
  const bool FSynced = ::fsync(FFd) == 0 || errno == EINVAL;
  const int FError = errno;
  ::close(FFd);
  errno = FError;
  return FSynced;
}

} // namespace

TStorage::TStorage(fs::path aFolder) : FFolder(fs::weakly_canonical(aFolder)) {}

std::optional<fs::path> TStorage::Resolve(std::string_view aServerPath, TAccess aAccess) const {
  const auto FParts = SplitServerPath(aServerPath);
  if (!FParts || !Allowed(*FParts, aAccess)) return std::nullopt;
  // The server's own uploads under way are nobody's to read, write or move.
  if (std::ranges::any_of(*FParts, [](const std::string& aPart) {
        return aPart.starts_with(TUpload::kTempPrefix);
      }))
    return std::nullopt;
  fs::path FPath = FFolder;
  for (const auto& FPart : *FParts)
    FPath /= FPart;
  if (!InsideFolder(FPath, RootOf(FFolder, *FParts))) return std::nullopt;
  return FPath;
}

std::optional<TPlace> TStorage::PlaceOf(std::string_view aServerPath) {
  const auto FParts = SplitServerPath(aServerPath);
  if (!FParts || FParts->empty()) return std::nullopt;
  if ((*FParts)[0] == "home" && FParts->size() >= 3)
    return TPlace{false, (*FParts)[1], (*FParts)[2]};
  if ((*FParts)[0] == "share" && FParts->size() >= 2) return TPlace{true, (*FParts)[1], ""};
  return std::nullopt;
}

std::optional<std::string> TStorage::List(std::string_view aPattern) const {
  if (!aPattern.ends_with("\\*")) return Entry(aPattern);
  std::string FReply;
  if (!ListFolder(aPattern, [&](std::string& aRecords) {
        FReply += aRecords;
        return true;
      }))
    return std::nullopt;
  return FReply;
}

bool TStorage::ListFolder(std::string_view aPattern,
                          const std::function<bool(std::string&)>& aFlush) const {
  const auto FFolderPath = Resolve(aPattern.substr(0, aPattern.size() - 2), TAccess::Read);
  struct stat FStat {};
  if (!FFolderPath || ::stat(FFolderPath->c_str(), &FStat) != 0 || !S_ISDIR(FStat.st_mode))
    return false;
  std::string FRecords;
  AppendRecord(FRecords, FindDataOf(u".", FStat));
  AppendRecord(FRecords, FindDataOf(u"..", FStat));
  std::error_code FError;
  for (const auto& FEntry : fs::directory_iterator(*FFolderPath, FError)) {
    AppendListed(FRecords, FEntry.path());
    if (FRecords.size() >= kListPiece) {
      if (!aFlush(FRecords)) return false;
      FRecords.clear();
    }
  }
  return aFlush(FRecords);
}

TStorage::TListingFile::~TListingFile() {
  if (FFd >= 0) ::close(FFd);
}

std::unique_ptr<TStorage::TListingFile> TStorage::ListToFile(std::string_view aPattern) const {
  auto FFile = std::make_unique<TListingFile>();
  if (!aPattern.ends_with("\\*")) {
    // One entry: small, but sent the same way.
    const auto FReply = Entry(aPattern);
    if (!FReply) return nullptr;
    return WriteListing(*FReply, std::move(FFile));
  }
  FFile->FFd = OpenListingFile(FFolder);
  if (FFile->FFd < 0) return nullptr;
  const bool FListed = ListFolder(aPattern, [&](std::string& aRecords) {
    FFile->FSize += aRecords.size();
    if (FFile->FSize > (kMaxListed + 2) * kFindDataSize) {
      FFile->FTooMany = true;
      return false;
    }
    return WriteAll(FFile->FFd, aRecords);
  });
  if (FFile->FTooMany) {
    FFile->FSize = 0;
    return FFile;
  }
  return FListed ? std::move(FFile) : nullptr;
}

std::unique_ptr<TStorage::TListingFile>
TStorage::WriteListing(const std::string& aRecords, std::unique_ptr<TListingFile> aFile) const {
  aFile->FFd = OpenListingFile(FFolder);
  if (aFile->FFd < 0 || !WriteAll(aFile->FFd, aRecords)) return nullptr;
  aFile->FSize = aRecords.size();
  return aFile;
}

std::optional<std::string> TStorage::Entry(std::string_view aFullName) const {
  const auto FSlash = aFullName.rfind('\\');
  if (FSlash == std::string_view::npos) return std::nullopt;
  const std::string FName(aFullName.substr(FSlash + 1));
  const auto FFolderPath = Resolve(aFullName.substr(0, FSlash), TAccess::Read);
  struct stat FStat {};
  if (FName.empty() || FName.find_first_of("*?/") != std::string::npos || FName == "." ||
      FName == ".." || !FFolderPath || ::stat(FFolderPath->c_str(), &FStat) != 0 ||
      !S_ISDIR(FStat.st_mode))
    return std::nullopt;
  std::string FReply;
  // Names match as on the client: the exact name first, else one that differs in ASCII case.
  if (AppendListed(FReply, *FFolderPath / FName)) return FReply;
  std::error_code FError;
  for (const auto& FEntry : fs::directory_iterator(*FFolderPath, FError))
    if (SameAsciiName(FEntry.path().filename().string(), FName) &&
        AppendListed(FReply, FEntry.path()))
      break;
  return FReply;
}

std::optional<TServerVersion> TStorage::VersionOf(const fs::path& aPath) {
  struct stat FStat {};
  if (::stat(aPath.c_str(), &FStat) != 0 || !S_ISREG(FStat.st_mode)) return std::nullopt;
  return VersionOf(FStat);
}

TServerVersion TStorage::VersionOf(const struct stat& aStat) {
  return TServerVersion{aStat.st_size, ToFileTime(aStat.st_mtim)};
}

bool TStorage::Delete(std::string_view aServerPath) const {
  const auto FPath = Resolve(aServerPath, TAccess::Change);
  if (!FPath) return false;
  struct stat FStat {};
  if (::lstat(FPath->c_str(), &FStat) != 0) return false;
  return (S_ISDIR(FStat.st_mode) ? ::rmdir(FPath->c_str()) : ::unlink(FPath->c_str())) == 0;
}

bool TStorage::Move(std::string_view aFromTo) const {
  const auto FBar = aFromTo.find('|');
  if (FBar == std::string_view::npos) return false;
  const auto FFrom = Resolve(aFromTo.substr(0, FBar), TAccess::Change);
  const auto FTo = Resolve(aFromTo.substr(FBar + 1), TAccess::Change);
  if (!FFrom || !FTo) return false;
  struct stat FFromStat {};
  struct stat FToStat {};
  if (::lstat(FFrom->c_str(), &FFromStat) != 0) return false;
  // A folder never replaces anything; a file replaces only a file.
  if (::lstat(FTo->c_str(), &FToStat) == 0 && *FFrom != *FTo &&
      (S_ISDIR(FFromStat.st_mode) || S_ISDIR(FToStat.st_mode)))
    return false;
  return ::rename(FFrom->c_str(), FTo->c_str()) == 0;
}

bool TStorage::MakeDirectory(std::string_view aServerPath) const {
  const auto FPath = Resolve(aServerPath, TAccess::Change);
  return FPath && ::mkdir(FPath->c_str(), 0700) == 0;
}

void TStorage::EnsureRoots(std::string_view aClass, std::string_view aUser) const {
  std::error_code FIgnored;
  for (const fs::path& FRoot : {FFolder / "home" / aClass / aUser, FFolder / "share" / aClass}) {
    if (fs::create_directories(FRoot, FIgnored))
      fs::permissions(FRoot, fs::perms::owner_all, FIgnored);
  }
}

int TStorage::RemoveLeftoverUploads() const {
  int FRemoved = 0;
  std::error_code FError;
  for (auto FAt = fs::recursive_directory_iterator(FFolder, FError);
       !FError && FAt != fs::recursive_directory_iterator(); FAt.increment(FError)) {
    if (FAt->is_regular_file(FError) &&
        FAt->path().filename().string().starts_with(TUpload::kTempPrefix)) {
      std::error_code FIgnored;
      FRemoved += fs::remove(FAt->path(), FIgnored) ? 1 : 0;
    }
  }
  return FRemoved;
}

std::optional<TUpload> TUpload::Begin(const fs::path& aTarget) {
  struct stat FStat {};
  if (::stat(aTarget.parent_path().c_str(), &FStat) != 0 || !S_ISDIR(FStat.st_mode)) return {};
  if (::lstat(aTarget.c_str(), &FStat) == 0 && !S_ISREG(FStat.st_mode)) return {};
  std::string FTemplate = (aTarget.parent_path() / (std::string(kTempPrefix) + "XXXXXX")).string();
  const int FFd = ::mkostemp(FTemplate.data(), O_CLOEXEC);
  if (FFd < 0) return {};
  ::fchmod(FFd, 0600);
  return TUpload(FFd, FTemplate, aTarget);
}

TUpload::TUpload(int aFd, fs::path aTemp, fs::path aTarget)
    : FFd(aFd), FTemp(std::move(aTemp)), FTarget(std::move(aTarget)) {}

TUpload::TUpload(TUpload&& aOther) noexcept
    : FFd(std::exchange(aOther.FFd, -1)), FTemp(std::move(aOther.FTemp)),
      FTarget(std::move(aOther.FTarget)) {}

TUpload::~TUpload() {
  if (FFd < 0) return;
  ::close(FFd);
  ::unlink(FTemp.c_str());
}

bool TUpload::Write(const void* aData, size_t aCount) {
  const auto* FBytes = static_cast<const char*>(aData);
  while (aCount > 0) {
    const ssize_t FDone = ::write(FFd, FBytes, aCount);
    if (FDone <= 0) return false;
    FBytes += FDone;
    aCount -= static_cast<size_t>(FDone);
  }
  return true;
}

bool TUpload::Commit() {
  if (FFd < 0) return false;
  // The OK tells the student the file is safe: its bytes are on the disk before the rename puts
  // it in place, and the rename is on the disk before the OK.
  const bool FOk = ::fsync(FFd) == 0 && ::close(std::exchange(FFd, -1)) == 0 &&
                   ::rename(FTemp.c_str(), FTarget.c_str()) == 0 && SyncFolder(FTarget);
  if (!FOk) {
    const int FError = errno; // the caller tells a full disk from other failures
    if (FFd >= 0) ::close(std::exchange(FFd, -1));
    ::unlink(FTemp.c_str());
    errno = FError;
  }
  return FOk;
}

} // namespace zelvo::server
