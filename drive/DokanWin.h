// Windows definitions the drive front end speaks in: NT status codes, kernel and generic access
// masks, kernel create options and dispositions, CreateFileW flags, and the record of
// GetFileInformationByHandle. Values are those of the Windows headers.
#pragma once

#include <cstdint>

#include "platform/WinError.h"
#include "platform/WinTypes.h"

namespace zelvo {

using NTSTATUS = uint32_t;
using LPCWSTR = const char16_t*;
using LPWSTR = char16_t*;

inline constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = 0x80000005;
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = 0xC0000008;
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr NTSTATUS STATUS_END_OF_FILE = 0xC0000011;
inline constexpr NTSTATUS STATUS_NO_MEMORY = 0xC0000017;
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = 0xC0000022;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = 0xC0000033;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = 0xC0000034;
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = 0xC0000035;
inline constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = 0xC000003A;
inline constexpr NTSTATUS STATUS_PRIVILEGE_NOT_HELD = 0xC0000061;
inline constexpr NTSTATUS STATUS_DISK_FULL = 0xC000007F;
inline constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = 0xC00000A2;
inline constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = 0xC00000BA;
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr NTSTATUS STATUS_UNEXPECTED_NETWORK_ERROR = 0xC00000C4;
inline constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = 0xC0000101;
inline constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = 0xC0000103;
inline constexpr NTSTATUS STATUS_NAME_TOO_LONG = 0xC0000106;
inline constexpr NTSTATUS STATUS_CANNOT_DELETE = 0xC0000121;
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = 0xC0000185;
inline constexpr NTSTATUS STATUS_FILE_TOO_LARGE = 0xC0000904;

inline constexpr uint32_t ERROR_IO_DEVICE = 1117;

// Kernel access rights and their generic groups.
inline constexpr uint32_t FILE_READ_DATA = 0x0001;
inline constexpr uint32_t FILE_WRITE_DATA = 0x0002;
inline constexpr uint32_t FILE_APPEND_DATA = 0x0004;
inline constexpr uint32_t FILE_READ_EA = 0x0008;
inline constexpr uint32_t FILE_WRITE_EA = 0x0010;
inline constexpr uint32_t FILE_EXECUTE = 0x0020;
inline constexpr uint32_t FILE_READ_ATTRIBUTES = 0x0080;
inline constexpr uint32_t FILE_WRITE_ATTRIBUTES = 0x0100;
inline constexpr uint32_t DELETE = 0x00010000;
inline constexpr uint32_t STANDARD_RIGHTS_READ = 0x00020000;
inline constexpr uint32_t STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr uint32_t SYNCHRONIZE = 0x00100000;
inline constexpr uint32_t FILE_GENERIC_READ =
    STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
inline constexpr uint32_t FILE_GENERIC_WRITE = STANDARD_RIGHTS_READ | FILE_WRITE_DATA |
                                               FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
                                               FILE_APPEND_DATA | SYNCHRONIZE;
inline constexpr uint32_t FILE_GENERIC_EXECUTE =
    STANDARD_RIGHTS_READ | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
inline constexpr uint32_t FILE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;
inline constexpr uint32_t GENERIC_READ = 0x80000000;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
inline constexpr uint32_t GENERIC_ALL = 0x10000000;

inline constexpr uint32_t FILE_SHARE_READ = 1;
inline constexpr uint32_t FILE_SHARE_WRITE = 2;
inline constexpr uint32_t FILE_SHARE_DELETE = 4;

// Kernel create dispositions.
inline constexpr uint32_t FILE_SUPERSEDE = 0;
inline constexpr uint32_t FILE_OPEN = 1;
inline constexpr uint32_t FILE_CREATE = 2;
inline constexpr uint32_t FILE_OPEN_IF = 3;
inline constexpr uint32_t FILE_OVERWRITE = 4;
inline constexpr uint32_t FILE_OVERWRITE_IF = 5;

// Kernel create options.
inline constexpr uint32_t FILE_DIRECTORY_FILE = 0x00000001;
inline constexpr uint32_t FILE_WRITE_THROUGH = 0x00000002;
inline constexpr uint32_t FILE_SEQUENTIAL_ONLY = 0x00000004;
inline constexpr uint32_t FILE_NO_INTERMEDIATE_BUFFERING = 0x00000008;
inline constexpr uint32_t FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
inline constexpr uint32_t FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
inline constexpr uint32_t FILE_NON_DIRECTORY_FILE = 0x00000040;
inline constexpr uint32_t FILE_RANDOM_ACCESS = 0x00000800;
inline constexpr uint32_t FILE_DELETE_ON_CLOSE = 0x00001000;
inline constexpr uint32_t FILE_OPEN_FOR_BACKUP_INTENT = 0x00004000;
inline constexpr uint32_t FILE_OPEN_REPARSE_POINT = 0x00200000;

// CreateFileW flags.
inline constexpr uint32_t FILE_FLAG_WRITE_THROUGH = 0x80000000;
inline constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000;
inline constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000;
inline constexpr uint32_t FILE_FLAG_RANDOM_ACCESS = 0x10000000;
inline constexpr uint32_t FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
inline constexpr uint32_t FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
inline constexpr uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr uint32_t FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

inline constexpr uint32_t FILE_BEGIN = 0;
inline constexpr uint32_t FILE_CURRENT = 1;
inline constexpr uint32_t FILE_END = 2;

inline constexpr uint32_t INVALID_HANDLE_VALUE = 0xFFFFFFFF;
// 32-bit truth values.
inline constexpr uint32_t WIN_TRUE = 0xFFFFFFFF;
inline constexpr uint32_t WIN_FALSE = 0;

struct BY_HANDLE_FILE_INFORMATION {
  uint32_t dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t dwVolumeSerialNumber = 0;
  uint32_t nFileSizeHigh = 0;
  uint32_t nFileSizeLow = 0;
  uint32_t nNumberOfLinks = 0;
  uint32_t nFileIndexHigh = 0;
  uint32_t nFileIndexLow = 0;
};

} // namespace zelvo
