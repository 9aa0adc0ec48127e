// The user-mode file system library as the program sees it: the options record (the library's
// fields, then the program's own), the per-call file information, the 25-slot operations table
// with the callback signatures, and the library's functions. DokanMain and DokanUnmount are
// provided by the library (on Linux: platform/DokanFuse); the two mapping helpers are pure
// functions kept here so the callbacks can be tested without a mount.
#pragma once

#include <cstdint>
#include <string>

#include "drive/DokanWin.h"

namespace zelvo {

inline constexpr uint16_t DOKAN_VERSION = 120;
inline constexpr uint32_t DOKAN_OPTION_WRITE_PROTECT = 8;

struct DOKAN_OPTIONS {
  // The library's fields.
  uint16_t Version = 0;
  uint16_t ThreadCount = 0;
  uint32_t Options = 0;
  uint64_t GlobalContext = 0;
  const char16_t* MountPoint = nullptr;
  const char16_t* UNCName = nullptr;
  uint32_t Timeout = 0;
  uint32_t AllocationUnitSize = 0;
  uint32_t SectorSize = 0;
  // The program's fields, read back by the callbacks through DOKAN_FILE_INFO::DokanOptions.
  int32_t _RootIndex = 0;
  char16_t _RootDirectory[MAX_PATH] = {};
  char16_t _MountPoint[MAX_PATH] = {};
  char16_t _UNCName[MAX_PATH] = {};
  std::u16string _YunRootDir;
  std::u16string _YunMountPoint;
  std::u16string _YunVolumeName;
};

struct DOKAN_FILE_INFO {
  uint64_t Context = 0; // the open handle in the low 32 bits
  uint64_t DokanContext = 0;
  DOKAN_OPTIONS* DokanOptions = nullptr;
  uint32_t ProcessId = 0;
  uint8_t IsDirectory = 0;
  uint8_t DeleteOnClose = 0;
  uint8_t PagingIo = 0;
  uint8_t SynchronousIo = 0;
  uint8_t Nocache = 0;
  uint8_t WriteToEndOfFile = 0;
  // The program's outcome of Cleanup, which returns nothing: the move, upload or deletion it
  // carried out, read back by the library layer for the request that caused it.
  NTSTATUS _CleanupStatus = 0;
  // Set by the library for FlushFileBuffers on the close of one descriptor (FUSE flush), not a
  // sync: only written bytes are sent then.
  uint8_t _DescriptorClose = 0;
};
using PDOKAN_FILE_INFO = DOKAN_FILE_INFO*;

using PFillFindData = int (*)(WIN32_FIND_DATAW* aFindData, PDOKAN_FILE_INFO aInfo);

struct DOKAN_OPERATIONS {
  NTSTATUS(*ZwCreateFile)
  (LPCWSTR FileName, void* SecurityContext, uint32_t DesiredAccess, uint32_t FileAttributes,
   uint32_t ShareAccess, uint32_t CreateDisposition, uint32_t CreateOptions, PDOKAN_FILE_INFO);
  void (*Cleanup)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  void (*CloseFile)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS(*ReadFile)
  (LPCWSTR FileName, void* Buffer, uint32_t BufferLength, uint32_t* ReadLength, int64_t Offset,
   PDOKAN_FILE_INFO);
  NTSTATUS(*WriteFile)
  (LPCWSTR FileName, const void* Buffer, uint32_t NumberOfBytesToWrite,
   uint32_t* NumberOfBytesWritten, int64_t Offset, PDOKAN_FILE_INFO);
  NTSTATUS (*FlushFileBuffers)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS(*GetFileInformation)
  (LPCWSTR FileName, BY_HANDLE_FILE_INFORMATION* Information, PDOKAN_FILE_INFO);
  NTSTATUS (*FindFiles)(LPCWSTR FileName, PFillFindData FillFindData, PDOKAN_FILE_INFO);
  NTSTATUS(*FindFilesWithPattern)
  (LPCWSTR PathName, LPCWSTR SearchPattern, PFillFindData FillFindData, PDOKAN_FILE_INFO);
  NTSTATUS (*SetFileAttributes)(LPCWSTR FileName, uint32_t FileAttributes, PDOKAN_FILE_INFO);
  NTSTATUS(*SetFileTime)
  (LPCWSTR FileName, const FILETIME* CreationTime, const FILETIME* LastAccessTime,
   const FILETIME* LastWriteTime, PDOKAN_FILE_INFO);
  NTSTATUS (*DeleteFile)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS (*DeleteDirectory)(LPCWSTR FileName, PDOKAN_FILE_INFO);
  NTSTATUS(*MoveFile)
  (LPCWSTR FileName, LPCWSTR NewFileName, int ReplaceIfExisting, PDOKAN_FILE_INFO);
  NTSTATUS (*SetEndOfFile)(LPCWSTR FileName, int64_t ByteOffset, PDOKAN_FILE_INFO);
  NTSTATUS (*SetAllocationSize)(LPCWSTR FileName, int64_t AllocSize, PDOKAN_FILE_INFO);
  NTSTATUS (*LockFile)(LPCWSTR FileName, int64_t ByteOffset, int64_t Length, PDOKAN_FILE_INFO);
  NTSTATUS (*UnlockFile)(LPCWSTR FileName, int64_t ByteOffset, int64_t Length, PDOKAN_FILE_INFO);
  NTSTATUS(*GetDiskFreeSpace)
  (uint64_t* FreeBytesAvailable, uint64_t* TotalNumberOfBytes, uint64_t* TotalNumberOfFreeBytes,
   PDOKAN_FILE_INFO);
  NTSTATUS(*GetVolumeInformation)
  (LPWSTR VolumeNameBuffer, uint32_t VolumeNameSize, uint32_t* VolumeSerialNumber,
   uint32_t* MaximumComponentLength, uint32_t* FileSystemFlags, LPWSTR FileSystemNameBuffer,
   uint32_t FileSystemNameSize, PDOKAN_FILE_INFO);
  NTSTATUS (*Mounted)(PDOKAN_FILE_INFO);
  NTSTATUS (*Unmounted)(PDOKAN_FILE_INFO);
  NTSTATUS(*GetFileSecurity)
  (LPCWSTR FileName, void* SecurityInformation, void* SecurityDescriptor, uint32_t BufferLength,
   uint32_t* LengthNeeded, PDOKAN_FILE_INFO);
  NTSTATUS(*SetFileSecurity)
  (LPCWSTR FileName, void* SecurityInformation, void* SecurityDescriptor, uint32_t BufferLength,
   PDOKAN_FILE_INFO);
  NTSTATUS (*FindStreams)(LPCWSTR FileName, void* FillFindStreamData, PDOKAN_FILE_INFO);
};
static_assert(sizeof(DOKAN_OPERATIONS) == 25 * sizeof(void*), "25 slots");

// Kernel request values -> the CreateFileW values: generic access, attributes and flags
// (FILE_FLAG_DELETE_ON_CLOSE among them), and a creation disposition 1 to 5.
void DokanMapKernelToUserCreateFileFlags(uint32_t DesiredAccess, uint32_t FileAttributes,
                                         uint32_t CreateOptions, uint32_t CreateDisposition,
                                         uint32_t* outDesiredAccess,
                                         uint32_t* outFileAttributesAndFlags,
                                         uint32_t* outCreationDisposition);

// A Windows error code as an NT status; 0 gives STATUS_SUCCESS, an unknown code
// STATUS_UNSUCCESSFUL.
NTSTATUS DokanNtStatusFromWin32(uint32_t aError);

// Mounts and serves until unmounted; returns 0 after a mount, a negative value when the
// drive could not be mounted.
int DokanMain(DOKAN_OPTIONS* aOptions, DOKAN_OPERATIONS* aOperations);
// Takes the drive of aDriveLetter down; false when no such drive is mounted.
bool DokanUnmount(char16_t aDriveLetter);

} // namespace zelvo
