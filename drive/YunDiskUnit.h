// The drive front end's callbacks: what the user-mode file system library calls, on its worker
// threads, for both drives at once. Each file callback turns a library request into facade
// calls (through the one process-wide facade reference, FileSystem) and the answer into an NT
// status; the drive is known only by the options record the library hands back.
//
// No exception leaves a callback: a failure inside the tree becomes STATUS_IO_DEVICE_ERROR (and
// a line on stderr), with the facade's lock released. A request that needs several facade calls
// (a seek and its read or write) holds the facade's lock across them, so requests that run at the
// same time on one open handle each use their own offset.
//
// DriveTrace, off by default, writes every callback's entry and status to stderr.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "drive/Dokan.h"

namespace zelvo {

extern std::atomic<bool> DriveTrace;

// File callbacks, slots 0 to 17 (slot 8, FindFilesWithPattern, stays empty).
NTSTATUS ZwCreateFile(LPCWSTR FileName, void* SecurityContext, uint32_t DesiredAccess,
                      uint32_t FileAttributes, uint32_t ShareAccess, uint32_t CreateDisposition,
                      uint32_t CreateOptions, PDOKAN_FILE_INFO DokanFileInfo);
void Cleanup(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
void CloseFile(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS ReadFile(LPCWSTR FileName, void* Buffer, uint32_t BufferLength, uint32_t* ReadLength,
                  int64_t Offset, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS WriteFile(LPCWSTR FileName, const void* Buffer, uint32_t NumberOfBytesToWrite,
                   uint32_t* NumberOfBytesWritten, int64_t Offset, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS FlushFileBuffers(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS GetFileInformation(LPCWSTR FileName, BY_HANDLE_FILE_INFORMATION* HandleFileInformation,
                            PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS FindFiles(LPCWSTR FileName, PFillFindData FillFindData, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS SetFileAttributes(LPCWSTR FileName, uint32_t FileAttributes,
                           PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS SetFileTime(LPCWSTR FileName, const FILETIME* CreationTime, const FILETIME* LastAccessTime,
                     const FILETIME* LastWriteTime, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS DeleteFile(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS DeleteDirectory(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS MoveFile(LPCWSTR FileName, LPCWSTR NewFileName, int ReplaceIfExisting,
                  PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS SetEndOfFile(LPCWSTR FileName, int64_t ByteOffset, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS SetAllocationSize(LPCWSTR FileName, int64_t AllocSize, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS LockFile(LPCWSTR FileName, int64_t ByteOffset, int64_t Length,
                  PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS UnlockFile(LPCWSTR FileName, int64_t ByteOffset, int64_t Length,
                    PDOKAN_FILE_INFO DokanFileInfo);

// Volume callbacks, slots 19 to 21.
NTSTATUS GetVolumeInformation(LPWSTR VolumeNameBuffer, uint32_t VolumeNameSize,
                              uint32_t* VolumeSerialNumber, uint32_t* MaximumComponentLength,
                              uint32_t* FileSystemFlags, LPWSTR FileSystemNameBuffer,
                              uint32_t FileSystemNameSize, PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS Mounted(PDOKAN_FILE_INFO DokanFileInfo);
NTSTATUS Unmounted(PDOKAN_FILE_INFO DokanFileInfo);

// One drive: a thread that mounts it and serves it until it is unmounted. It starts running as
// soon as it is made. The program never destroys one; the destructor (tests, tools) waits for
// the thread, so the drive must have been unmounted by then.
class TYunDiskThread {
public:
  TYunDiskThread(int32_t aYunRootIndex, std::u16string aYunRootDir, std::u16string aYunMountPoint,
                 std::u16string aYunVolumeName, bool aWriteProtect);
  TYunDiskThread(const TYunDiskThread&) = delete;
  TYunDiskThread& operator=(const TYunDiskThread&) = delete;
  virtual ~TYunDiskThread();

  void WaitFor();
  // Takes the drive (drive letter aLetter) down and waits for the thread's end; a drive still
  // being mounted is asked again until it has gone.
  void Stop(char16_t aLetter);
  bool Finished() const { return FFinished; }
  int Result() const { return FResult; }

  const bool WriteProtect;
  const int32_t YunRootIndex;
  const std::u16string YunRootDir;
  const std::u16string YunMountPoint;
  const std::u16string YunVolumeName;

protected:
  virtual void Execute();

private:
  std::atomic<bool> FFinished{false};
  std::atomic<int> FResult{0};
  std::thread FThread;
};

// Mounts the drive of aThread and returns when it is unmounted: DokanMain's result, or 1 when
// nothing was mounted.
int YundiskMain(const TYunDiskThread& aThread);
// The 25-slot table with the program's callbacks.
DOKAN_OPERATIONS MakeDokanOperations();

} // namespace zelvo
