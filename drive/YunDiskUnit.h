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

} // namespace zelvo
