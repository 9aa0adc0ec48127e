// The file system library on libfuse3: see DokanFuse.h for the request-to-callback table.
#define FUSE_USE_VERSION 314
#include <fuse3/fuse.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "common/Globals.h"
#include "common/TextCodec.h"
#include "platform/LastError.h"
#include "platform/fuse/DokanFuse.h"
#include "platform/fuse/FuseMountPoint.h"

namespace zelvo {
namespace {

constexpr uint32_t kSyncOptions = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr uint32_t FILE_LIST_DIRECTORY = FILE_READ_DATA;
constexpr size_t kMaxNameBytes = 255; // NAME_MAX, what statfs announces

// One open of a file or folder: its DOKAN_FILE_INFO travels in fuse_file_info::fh.
struct TOpenFile {
  DOKAN_FILE_INFO FInfo;
  std::u16string FPath;      // as opened; later requests pass the current one
  bool FAppend = false;      // writes go to the end
  bool FNeedsCleanup = true; // the open has not had its closing work yet
  std::mutex FLock;          // guards FInfo, FNeedsCleanup
};

struct TMount {
  DOKAN_OPTIONS* FOptions = nullptr;
  DOKAN_OPERATIONS* FOperations = nullptr;
  std::string FMountPoint;
  char16_t FLetter = 0;
  bool FWriteProtect = false;
  fuse* FFuse = nullptr;
  std::mutex FLock; // guards FOpenFiles
  std::set<TOpenFile*> FOpenFiles;
};

std::mutex RegistryLock; // guards Registry
std::set<TMount*> Registry;

TMount& CurrentMount() {
  return *static_cast<TMount*>(fuse_get_context()->private_data);
}
DOKAN_OPERATIONS& Ops() {
  return *CurrentMount().FOperations;
}

DOKAN_FILE_INFO NewInfo(TMount& aMount) {
  DOKAN_FILE_INFO FInfo;
  FInfo.DokanOptions = aMount.FOptions;
  FInfo.ProcessId = static_cast<uint32_t>(fuse_get_context()->pid);
  return FInfo;
}

// "/a/b" -> "\a\b"; 0, or -EINVAL when the path is not UTF-8 or holds a "\" (which would split
// a name), -ENAMETOOLONG when a name is longer than 255 bytes.
int DrivePath(const char* aPath, std::u16string& aDrivePath) {
  const std::string_view FPath = aPath ? aPath : "/";
  if (!IsValidUtf8(FPath) || FPath.find('\\') != std::string_view::npos) return -EINVAL;
  for (size_t FAt = 0; FAt < FPath.size();) {
    const size_t FEnd = std::min(FPath.find('/', FAt), FPath.size());
    if (FEnd - FAt > kMaxNameBytes) return -ENAMETOOLONG;
    FAt = FEnd + 1;
  }
  aDrivePath = Utf8ToUtf16(FPath);
  std::replace(aDrivePath.begin(), aDrivePath.end(), u'/', u'\\');
  if (aDrivePath.empty()) aDrivePath.assign(1, u'\\');
  return 0;
}

// The server joins path parts with "\" and MOVE paths with "|", and a request ends at CR LF:
// such names cannot be stored (control characters are refused with the line breaks).
bool NewNameAllowed(const std::u16string& aDrivePath) {
  const std::u16string_view FName =
      std::u16string_view(aDrivePath).substr(aDrivePath.rfind(u'\\') + 1);
  return !FName.empty() && FName.find_first_of(u":*?\"<>|") == std::u16string_view::npos &&
         std::none_of(FName.begin(), FName.end(), [](char16_t aChar) { return aChar < 0x20; });
}

void FileTimeToTimespec(FILETIME aTime, timespec& aOut) {
  const int64_t FUnits = std::max<int64_t>(0, FileTimeToInt(aTime) - kFileTimeUnixEpoch);
  aOut.tv_sec = FUnits / 10000000;
  aOut.tv_nsec = (FUnits % 10000000) * 100;
}

template <typename TRecord>
void FillStat(const TRecord& aRecord, bool aWriteProtect, struct stat& aStat) {
  aStat = {};
  const bool FFolder = (aRecord.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool FReadOnly = aWriteProtect || (aRecord.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
  aStat.st_mode =
      FFolder ? S_IFDIR | (aWriteProtect ? 0555 : 0755) : S_IFREG | (FReadOnly ? 0444 : 0644);
  aStat.st_nlink = 1;
  aStat.st_uid = ::getuid();
  aStat.st_gid = ::getgid();
  aStat.st_size =
      FFolder ? 0
              : static_cast<off_t>(uint64_t{aRecord.nFileSizeHigh} << 32 | aRecord.nFileSizeLow);
  aStat.st_blksize = 4096;
  aStat.st_blocks = (aStat.st_size + 511) / 512;
  FileTimeToTimespec(aRecord.ftLastWriteTime, aStat.st_mtim);
  FileTimeToTimespec(aRecord.ftLastAccessTime, aStat.st_atim);
  FileTimeToTimespec(aRecord.ftCreationTime, aStat.st_ctim);
}

NTSTATUS Create(const std::u16string& aPath, uint32_t aAccess, uint32_t aDisposition,
                uint32_t aOptions, DOKAN_FILE_INFO& aInfo) {
  aInfo.IsDirectory = (aOptions & FILE_DIRECTORY_FILE) ? 1 : 0;
  return Ops().ZwCreateFile(aPath.c_str(), nullptr, aAccess, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, aDisposition,
                            aOptions | kSyncOptions, &aInfo);
}

// An open succeeded when it left a context, whatever its status says (an OPEN_IF of an
// existing name answers a collision).
int OpenResult(NTSTATUS aStatus, const DOKAN_FILE_INFO& aInfo) {
  return aInfo.Context != 0 ? 0 : -StatusToErrno(aStatus);
}

void CloseInfo(const std::u16string& aPath, DOKAN_FILE_INFO& aInfo) {
  Ops().Cleanup(aPath.c_str(), &aInfo);
  Ops().CloseFile(aPath.c_str(), &aInfo);
}

// Open by name, act, close: the sequence of every request without an open file.
template <typename TAct>
int ByName(const std::u16string& aPath, uint32_t aAccess, uint32_t aOptions, TAct aAct) {
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  const NTSTATUS FOpen = Create(aPath, aAccess, FILE_OPEN, aOptions, FInfo);
  if (const int FError = OpenResult(FOpen, FInfo)) return FError;
  const int FResult = aAct(FInfo);
  CloseInfo(aPath, FInfo);
  // The closing work (a move, an upload, a deletion) has the last word when the act succeeded.
  return FResult != 0 ? FResult : -StatusToErrno(FInfo._CleanupStatus);
}

TOpenFile* OpenOf(fuse_file_info* aFile) {
  return aFile ? reinterpret_cast<TOpenFile*>(aFile->fh) : nullptr;
}

// I/O after the open's closing work (a duplicated descriptor) opens the file again first.
int ReopenLocked(TOpenFile& aOpen, const std::u16string& aPath) {
  if (aOpen.FInfo.Context != 0) return 0;
  aOpen.FInfo = NewInfo(CurrentMount());
  const NTSTATUS FStatus = Create(aPath, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_OPEN,
                                  FILE_NON_DIRECTORY_FILE, aOpen.FInfo);
  aOpen.FNeedsCleanup = aOpen.FInfo.Context != 0;
  return OpenResult(FStatus, aOpen.FInfo);
}

void CleanupLocked(TOpenFile& aOpen, const std::u16string& aPath) {
  if (!aOpen.FNeedsCleanup) return;
  aOpen.FNeedsCleanup = false;
  CurrentMount().FOperations->Cleanup(aPath.c_str(), &aOpen.FInfo);
}

int Register(const std::u16string& aPath, DOKAN_FILE_INFO& aInfo, bool aAppend,
             fuse_file_info* aFile) {
  auto FOpen = std::make_unique<TOpenFile>();
  FOpen->FInfo = aInfo;
  FOpen->FPath = aPath;
  FOpen->FAppend = aAppend;
  TMount& FMount = CurrentMount();
  std::lock_guard FGuard(FMount.FLock);
  FMount.FOpenFiles.insert(FOpen.get());
  aFile->fh = reinterpret_cast<uint64_t>(FOpen.release());
  return 0;
}

int Release(const char* aPath, fuse_file_info* aFile) {
  TOpenFile* FOpen = OpenOf(aFile);
  if (FOpen == nullptr) return 0;
  TMount& FMount = CurrentMount();
  {
    std::lock_guard FGuard(FMount.FLock);
    FMount.FOpenFiles.erase(FOpen);
  }
  std::unique_ptr<TOpenFile> FOwned(FOpen);
  std::u16string FPath = FOpen->FPath;
  DrivePath(aPath, FPath);
  std::lock_guard FGuard(FOpen->FLock);
  CleanupLocked(*FOpen, FPath);
  FMount.FOperations->CloseFile(FPath.c_str(), &FOpen->FInfo);
  return 0;
}

uint32_t AccessOf(int aFlags) {
  switch (aFlags & O_ACCMODE) {
  case O_WRONLY:
    return FILE_GENERIC_WRITE;
  case O_RDWR:
    return FILE_GENERIC_READ | FILE_GENERIC_WRITE;
  default:
    return FILE_GENERIC_READ;
  }
}

// --- the FUSE operations -------------------------------------------------------------------

void* Init(fuse_conn_info* aConnection, fuse_config* aConfig) {
  // An open with O_TRUNC is one request, so an overwrite never sends an empty file first.
  if (aConnection->capable & FUSE_CAP_ATOMIC_O_TRUNC) aConnection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  // Requests of up to 1 MiB: fewer round trips through the kernel for big files.
  aConnection->max_write = 1 << 20;
  aConnection->max_readahead = 1 << 20;
  aConfig->hard_remove = 1; // an unlink is an unlink, not a rename to a hidden name
  aConfig->use_ino = 0;
  aConfig->nullpath_ok = 0;
  // The kernel may keep names and attributes for a while, never longer than the tree keeps a
  // folder's listing before it asks the server again.
  const double FKeep = ListRefreshSeconds > 0 ? std::min(10.0, ListRefreshSeconds / 2.0) : 10.0;
  aConfig->attr_timeout = FKeep;
  aConfig->entry_timeout = FKeep;
  aConfig->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* aPath, struct stat* aStat, fuse_file_info* aFile) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  const bool FProtect = CurrentMount().FWriteProtect;
  const auto FAnswer = [&](DOKAN_FILE_INFO& aInfo) {
    BY_HANDLE_FILE_INFORMATION FRecord;
    const NTSTATUS FStatus = Ops().GetFileInformation(FPath.c_str(), &FRecord, &aInfo);
    if (FStatus != STATUS_SUCCESS) return -StatusToErrno(FStatus);
    FillStat(FRecord, FProtect, *aStat);
    return 0;
  };
  if (TOpenFile* FOpen = OpenOf(aFile)) {
    std::lock_guard FGuard(FOpen->FLock);
    return FAnswer(FOpen->FInfo);
  }
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount()); // no context: answered by name
  return FAnswer(FInfo);
}

struct TFillState {
  void* FBuffer;
  fuse_fill_dir_t FFiller;
  bool FWriteProtect;
};
thread_local TFillState* FillState = nullptr;

int FillOne(WIN32_FIND_DATAW* aData, PDOKAN_FILE_INFO) {
  const std::string FName = Utf16ToUtf8(FieldText(aData->cFileName));
  if (FName.empty() || FName.find('/') != std::string::npos) return 0;
  struct stat FStat;
  FillStat(*aData, FillState->FWriteProtect, FStat);
  return FillState->FFiller(FillState->FBuffer, FName.c_str(), &FStat, 0, FUSE_FILL_DIR_PLUS);
}

int ReadDir(const char* aPath, void* aBuffer, fuse_fill_dir_t aFiller, off_t, fuse_file_info* aFile,
            fuse_readdir_flags) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  aFiller(aBuffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  aFiller(aBuffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  TFillState FState{aBuffer, aFiller, CurrentMount().FWriteProtect};
  FillState = &FState;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  if (TOpenFile* FOpen = OpenOf(aFile)) {
    // The unmount's closing work may change the record meanwhile.
    std::lock_guard FGuard(FOpen->FLock);
    FInfo = FOpen->FInfo;
  }
  const NTSTATUS FStatus = Ops().FindFiles(FPath.c_str(), &FillOne, &FInfo);
  FillState = nullptr;
  return -StatusToErrno(FStatus);
}

int OpenDir(const char* aPath, fuse_file_info* aFile) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  const NTSTATUS FStatus =
      Create(FPath, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, FInfo);
  if (const int FError = OpenResult(FStatus, FInfo)) return FError;
  return Register(FPath, FInfo, false, aFile);
}

int OpenFile(const char* aPath, fuse_file_info* aFile, uint32_t aDisposition) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  const NTSTATUS FStatus =
      Create(FPath, AccessOf(aFile->flags), aDisposition, FILE_NON_DIRECTORY_FILE, FInfo);
  if (const int FError = OpenResult(FStatus, FInfo)) return FError;
  return Register(FPath, FInfo, (aFile->flags & O_APPEND) != 0, aFile);
}

int Open(const char* aPath, fuse_file_info* aFile) {
  return OpenFile(aPath, aFile, (aFile->flags & O_TRUNC) ? FILE_OVERWRITE : FILE_OPEN);
}

int CreateFile(const char* aPath, mode_t, fuse_file_info* aFile) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  if (!NewNameAllowed(FPath)) return -EINVAL;
  const int FFlags = aFile->flags;
  const uint32_t FDisposition = (FFlags & O_EXCL)    ? FILE_CREATE
                                : (FFlags & O_TRUNC) ? FILE_OVERWRITE_IF
                                                     : FILE_OPEN_IF;
  return OpenFile(aPath, aFile, FDisposition);
}

int Read(const char* aPath, char* aBuffer, size_t aSize, off_t aOffset, fuse_file_info* aFile) {
  TOpenFile* FOpen = OpenOf(aFile);
  std::u16string FPath = FOpen->FPath;
  if (aPath)
    if (const int FError = DrivePath(aPath, FPath)) return FError;
  DOKAN_FILE_INFO FInfo;
  {
    std::lock_guard FGuard(FOpen->FLock);
    if (const int FError = ReopenLocked(*FOpen, FPath)) return FError;
    FInfo = FOpen->FInfo;
  }
  // Reads of one open run side by side (the kernel reads ahead while the program reads): a read
  // changes nothing of the open, so it works on a copy of its record.
  uint32_t FCount = 0;
  const NTSTATUS FStatus = Ops().ReadFile(FPath.c_str(), aBuffer, static_cast<uint32_t>(aSize),
                                          &FCount, aOffset, &FInfo);
  if (FStatus == STATUS_END_OF_FILE) return 0;
  return FStatus == STATUS_SUCCESS ? static_cast<int>(FCount) : -StatusToErrno(FStatus);
}

int Write(const char* aPath, const char* aBuffer, size_t aSize, off_t aOffset,
          fuse_file_info* aFile) {
  TOpenFile* FOpen = OpenOf(aFile);
  std::u16string FPath = FOpen->FPath;
  if (aPath)
    if (const int FError = DrivePath(aPath, FPath)) return FError;
  std::lock_guard FGuard(FOpen->FLock);
  if (const int FError = ReopenLocked(*FOpen, FPath)) return FError;
  FOpen->FInfo.WriteToEndOfFile = FOpen->FAppend;
  uint32_t FCount = 0;
  const NTSTATUS FStatus = Ops().WriteFile(FPath.c_str(), aBuffer, static_cast<uint32_t>(aSize),
                                           &FCount, aOffset, &FOpen->FInfo);
  return FStatus == STATUS_SUCCESS ? static_cast<int>(FCount) : -StatusToErrno(FStatus);
}

// Every close(2) and fsync(2): what this open wrote goes to the server now (fsync also sends a
// creation or truncation), and its outcome is the call's. The rest of the closing work waits for
// the release of the last descriptor.
int SendChanges(const char* aPath, fuse_file_info* aFile, bool aDescriptorClose) {
  TOpenFile* FOpen = OpenOf(aFile);
  std::u16string FPath = FOpen->FPath;
  if (aPath) DrivePath(aPath, FPath);
  std::lock_guard FGuard(FOpen->FLock);
  if (FOpen->FInfo.Context == 0) return 0;
  FOpen->FInfo._DescriptorClose = aDescriptorClose ? 1 : 0;
  return -StatusToErrno(Ops().FlushFileBuffers(FPath.c_str(), &FOpen->FInfo));
}

int Flush(const char* aPath, fuse_file_info* aFile) {
  return SendChanges(aPath, aFile, true);
}

int Fsync(const char* aPath, int, fuse_file_info* aFile) {
  return SendChanges(aPath, aFile, false);
}

int Truncate(const char* aPath, off_t aSize, fuse_file_info* aFile) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  if (TOpenFile* FOpen = OpenOf(aFile)) {
    std::lock_guard FGuard(FOpen->FLock);
    if (const int FError = ReopenLocked(*FOpen, FPath)) return FError;
    return -StatusToErrno(Ops().SetEndOfFile(FPath.c_str(), aSize, &FOpen->FInfo));
  }
  return ByName(FPath, FILE_GENERIC_WRITE, FILE_NON_DIRECTORY_FILE, [&](DOKAN_FILE_INFO& aInfo) {
    return -StatusToErrno(Ops().SetEndOfFile(FPath.c_str(), aSize, &aInfo));
  });
}

int Unlink(const char* aPath) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  // The deletion happens in Cleanup; ByName returns its outcome.
  return ByName(FPath, DELETE, FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE,
                [&](DOKAN_FILE_INFO& aInfo) {
                  aInfo.DeleteOnClose = 1;
                  return -StatusToErrno(Ops().DeleteFile(FPath.c_str(), &aInfo));
                });
}

int RemoveDir(const char* aPath) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  return ByName(FPath, DELETE, FILE_DIRECTORY_FILE, [&](DOKAN_FILE_INFO& aInfo) {
    return -StatusToErrno(Ops().DeleteDirectory(FPath.c_str(), &aInfo));
  });
}

int MakeDir(const char* aPath, mode_t) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  if (!NewNameAllowed(FPath)) return -EINVAL;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  const NTSTATUS FStatus =
      Create(FPath, FILE_GENERIC_READ, FILE_CREATE, FILE_DIRECTORY_FILE, FInfo);
  if (FInfo.Context != 0) CloseInfo(FPath, FInfo);
  return -StatusToErrno(FStatus);
}

int Rename(const char* aFrom, const char* aTo, unsigned int aFlags) {
  std::u16string FFrom;
  std::u16string FTo;
  if (const int FError = DrivePath(aFrom, FFrom)) return FError;
  if (const int FError = DrivePath(aTo, FTo)) return FError;
  if (!NewNameAllowed(FTo) || (aFlags & RENAME_EXCHANGE)) return -EINVAL;
  const bool FReplace = !(aFlags & RENAME_NOREPLACE);
  // The move runs in Cleanup; ByName returns its outcome.
  return ByName(FFrom, DELETE, 0, [&](DOKAN_FILE_INFO& aInfo) {
    return -StatusToErrno(Ops().MoveFile(FFrom.c_str(), FTo.c_str(), FReplace, &aInfo));
  });
}

int StatFs(const char*, struct statvfs* aStat) {
  constexpr fsblkcnt_t kBlocks = fsblkcnt_t{1} << 32; // 16 TiB of 4 KiB blocks
  *aStat = {};
  aStat->f_bsize = aStat->f_frsize = 4096;
  aStat->f_blocks = aStat->f_bfree = aStat->f_bavail = kBlocks;
  aStat->f_files = aStat->f_ffree = aStat->f_favail = 1u << 30;
  aStat->f_namemax = 255;
  return 0;
}

int UpdateTimes(const char* aPath, const timespec[2], fuse_file_info*) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  return -StatusToErrno(Ops().SetFileTime(FPath.c_str(), nullptr, nullptr, nullptr, &FInfo));
}

int ChangeMode(const char* aPath, mode_t, fuse_file_info*) {
  std::u16string FPath;
  if (const int FError = DrivePath(aPath, FPath)) return FError;
  DOKAN_FILE_INFO FInfo = NewInfo(CurrentMount());
  return -StatusToErrno(Ops().SetFileAttributes(FPath.c_str(), 0, &FInfo));
}

int ChangeOwner(const char*, uid_t, gid_t, fuse_file_info*) {
  return 0;
}

// Fills the whole operations table in one place.
fuse_operations MakeOperations() {
  fuse_operations FOps{};
  FOps.init = Init;
  FOps.getattr = GetAttr;
  FOps.opendir = OpenDir;
  FOps.readdir = ReadDir;
  FOps.releasedir = Release;
  FOps.open = Open;
  FOps.create = CreateFile;
  FOps.read = Read;
  FOps.write = Write;
  FOps.flush = Flush;
  FOps.release = Release;
  FOps.fsync = Fsync;
  FOps.truncate = Truncate;
  FOps.unlink = Unlink;
  FOps.rmdir = RemoveDir;
  FOps.mkdir = MakeDir;
  FOps.rename = Rename;
  FOps.statfs = StatFs;
  FOps.utimens = UpdateTimes;
  FOps.chmod = ChangeMode;
  FOps.chown = ChangeOwner;
  return FOps;
}

// The closing work of every file still open on a mount. Called outside the FUSE loop's requests,
// so the callbacks get a file information record of the mount's own.
void FlushOpenFiles(TMount& aMount) {
  std::lock_guard FGuard(aMount.FLock);
  for (TOpenFile* FOpen : aMount.FOpenFiles) {
    std::lock_guard FOpenGuard(FOpen->FLock);
    if (!FOpen->FNeedsCleanup) continue;
    FOpen->FNeedsCleanup = false;
    aMount.FOperations->Cleanup(FOpen->FPath.c_str(), &FOpen->FInfo);
  }
}

void CloseOpenFiles(TMount& aMount) {
  FlushOpenFiles(aMount);
  std::lock_guard FGuard(aMount.FLock);
  for (TOpenFile* FOpen : aMount.FOpenFiles) {
    aMount.FOperations->CloseFile(FOpen->FPath.c_str(), &FOpen->FInfo);
    delete FOpen;
  }
  aMount.FOpenFiles.clear();
}

std::u16string VolumeLabel(DOKAN_OPTIONS* aOptions, DOKAN_OPERATIONS* aOperations) {
  char16_t FLabel[MAX_PATH] = {};
  char16_t FFileSystem[MAX_PATH] = {};
  uint32_t FSerial = 0, FLength = 0, FFlags = 0;
  DOKAN_FILE_INFO FInfo;
  FInfo.DokanOptions = aOptions;
  if (aOperations->GetVolumeInformation)
    aOperations->GetVolumeInformation(FLabel, MAX_PATH, &FSerial, &FLength, &FFlags, FFileSystem,
                                      MAX_PATH, &FInfo);
  return FLabel;
}

// A mount option value: "\" and "," are escaped for the option parser.
std::string OptionValue(const std::u16string& aText) {
  std::string FValue;
  for (const char FChar : Utf16ToUtf8(aText)) {
    if (FChar == '\\' || FChar == ',') FValue += '\\';
    FValue += FChar;
  }
  return FValue.empty() ? "zelvo" : FValue;
}

} // namespace

int StatusToErrno(NTSTATUS aStatus) {
  switch (aStatus) {
  case STATUS_SUCCESS:
  case STATUS_END_OF_FILE:
    return 0;
  case STATUS_OBJECT_NAME_NOT_FOUND:
  case STATUS_OBJECT_PATH_NOT_FOUND:
    return ENOENT;
  case STATUS_OBJECT_NAME_COLLISION:
    return EEXIST;
  case STATUS_ACCESS_DENIED:
    return EACCES;
  case STATUS_FILE_IS_A_DIRECTORY:
    return EISDIR;
  case STATUS_NOT_A_DIRECTORY:
    return ENOTDIR;
  case STATUS_CANNOT_DELETE:
    return EPERM;
  case STATUS_DIRECTORY_NOT_EMPTY:
    return ENOTEMPTY;
  case STATUS_MEDIA_WRITE_PROTECTED:
    return EROFS;
  case STATUS_DISK_FULL:
    return ENOSPC;
  case STATUS_INVALID_PARAMETER:
  case STATUS_OBJECT_NAME_INVALID:
    return EINVAL;
  case STATUS_INVALID_HANDLE:
    return EBADF;
  case STATUS_NO_MEMORY:
    return ENOMEM;
  case STATUS_NOT_SUPPORTED:
    return ENOTSUP;
  case STATUS_UNEXPECTED_NETWORK_ERROR:
    return EIO; // the server could not be reached: an I/O error, not a bug to log
  case STATUS_NAME_TOO_LONG:
    return ENAMETOOLONG;
  case STATUS_FILE_TOO_LARGE:
    return EFBIG;
  case STATUS_PRIVILEGE_NOT_HELD:
    return EPERM;
  default:
    std::cerr << "zelvo: status 0x" << std::hex << aStatus << std::dec << " answered as EIO"
              << std::endl;
    return EIO;
  }
}

int DokanMain(DOKAN_OPTIONS* aOptions, DOKAN_OPERATIONS* aOperations) {
  TMount FMount;
  FMount.FOptions = aOptions;
  FMount.FOperations = aOperations;
  FMount.FWriteProtect = (aOptions->Options & DOKAN_OPTION_WRITE_PROTECT) != 0;
  const std::u16string FMountText = aOptions->MountPoint ? aOptions->MountPoint : u"";
  if (!ResolveMountPoint(FMountText, FMount.FMountPoint, FMount.FLetter)) return -1;
  if (!PrepareMountPoint(FMount.FMountPoint)) return -1;

  const std::string FMountOptions = "fsname=" + OptionValue(VolumeLabel(aOptions, aOperations)) +
                                    ",subtype=zelvo,default_permissions" +
                                    (FMount.FWriteProtect ? ",ro" : "");
  const char* FArgv[] = {"zelvo", "-o", FMountOptions.c_str()};
  fuse_args FArgs = FUSE_ARGS_INIT(3, const_cast<char**>(FArgv));
  const fuse_operations FOps = MakeOperations();
  FMount.FFuse = fuse_new(&FArgs, &FOps, sizeof FOps, &FMount);
  fuse_opt_free_args(&FArgs);
  if (FMount.FFuse == nullptr) return -2;
  // Registered before it is mounted: an unmount that comes while the mount is still being made
  // ends its loop before it starts, instead of finding nothing and leaving it running.
  {
    std::lock_guard FGuard(RegistryLock);
    Registry.insert(&FMount);
  }
  if (fuse_mount(FMount.FFuse, FMount.FMountPoint.c_str()) != 0) {
    {
      std::lock_guard FGuard(RegistryLock);
      Registry.erase(&FMount);
    }
    fuse_destroy(FMount.FFuse);
    return -3;
  }
  DOKAN_FILE_INFO FInfo;
  FInfo.DokanOptions = aOptions;
  if (aOperations->Mounted) aOperations->Mounted(&FInfo);

  fuse_loop_config* FConfig = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(FConfig, 16);
  fuse_loop_mt(FMount.FFuse, FConfig);
  fuse_loop_cfg_destroy(FConfig);

  {
    std::lock_guard FGuard(RegistryLock);
    Registry.erase(&FMount);
  }
  if (aOperations->Unmounted) aOperations->Unmounted(&FInfo);
  CloseOpenFiles(FMount);
  fuse_unmount(FMount.FFuse);
  fuse_destroy(FMount.FFuse);
  return 0;
}

bool DokanUnmount(char16_t aDriveLetter) {
  std::string FMountPoint;
  {
    std::lock_guard FGuard(RegistryLock);
    const auto FFound = std::find_if(Registry.begin(), Registry.end(), [&](const TMount* aMount) {
      return AsciiUpper(aMount->FLetter) == AsciiUpper(aDriveLetter);
    });
    if (FFound == Registry.end()) return false;
    FlushOpenFiles(**FFound);
    fuse_exit((*FFound)->FFuse);
    FMountPoint = (*FFound)->FMountPoint;
  }
  // Outside the lock: DokanMain takes it to leave the registry once its loop has ended.
  TakeDown(FMountPoint);
  return true;
}

} // namespace zelvo
