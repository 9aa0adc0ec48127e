#include "drive/Dokan.h"

namespace zelvo {
namespace {

uint32_t GenericAccess(uint32_t aDesiredAccess) {
  const auto FHas = [&](uint32_t aGroup) { return (aDesiredAccess & aGroup) == aGroup; };
  // All access covers the three groups below, so it is tested first.
  if (FHas(FILE_ALL_ACCESS)) return (aDesiredAccess & ~FILE_ALL_ACCESS) | GENERIC_ALL;
  uint32_t FAccess = aDesiredAccess;
  if (FHas(FILE_GENERIC_READ)) FAccess = (FAccess & ~FILE_GENERIC_READ) | GENERIC_READ;
  if (FHas(FILE_GENERIC_WRITE)) FAccess = (FAccess & ~FILE_GENERIC_WRITE) | GENERIC_WRITE;
  if (FHas(FILE_GENERIC_EXECUTE)) FAccess = (FAccess & ~FILE_GENERIC_EXECUTE) | GENERIC_EXECUTE;
  return FAccess;
}

uint32_t CreationFlags(uint32_t aCreateOptions) {
  struct TFlag {
    uint32_t FOption;
    uint32_t FFlag;
  };
  static constexpr TFlag kFlags[] = {
      {FILE_DELETE_ON_CLOSE, FILE_FLAG_DELETE_ON_CLOSE},
      {FILE_WRITE_THROUGH, FILE_FLAG_WRITE_THROUGH},
      {FILE_SEQUENTIAL_ONLY, FILE_FLAG_SEQUENTIAL_SCAN},
      {FILE_RANDOM_ACCESS, FILE_FLAG_RANDOM_ACCESS},
      {FILE_NO_INTERMEDIATE_BUFFERING, FILE_FLAG_NO_BUFFERING},
      {FILE_OPEN_FOR_BACKUP_INTENT, FILE_FLAG_BACKUP_SEMANTICS},
      {FILE_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_REPARSE_POINT},
  };
  uint32_t FFlags = 0;
  for (const auto& FEntry : kFlags)
    if (aCreateOptions & FEntry.FOption) FFlags |= FEntry.FFlag;
  if (!(aCreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)))
    FFlags |= FILE_FLAG_OVERLAPPED;
  return FFlags;
}

uint32_t UserDisposition(uint32_t aCreateDisposition) {
  switch (aCreateDisposition) {
  case FILE_CREATE:
    return 1; // CREATE_NEW
  case FILE_OPEN:
    return 3; // OPEN_EXISTING
  case FILE_OPEN_IF:
    return 4; // OPEN_ALWAYS
  case FILE_OVERWRITE:
    return 5; // TRUNCATE_EXISTING
  case FILE_SUPERSEDE:
  case FILE_OVERWRITE_IF:
    return 2; // CREATE_ALWAYS
  default:
    return 0;
  }
}

} // namespace

void DokanMapKernelToUserCreateFileFlags(uint32_t DesiredAccess, uint32_t FileAttributes,
                                         uint32_t CreateOptions, uint32_t CreateDisposition,
                                         uint32_t* outDesiredAccess,
                                         uint32_t* outFileAttributesAndFlags,
                                         uint32_t* outCreationDisposition) {
  if (outDesiredAccess) *outDesiredAccess = GenericAccess(DesiredAccess);
  if (outFileAttributesAndFlags)
    *outFileAttributesAndFlags = FileAttributes | CreationFlags(CreateOptions);
  if (outCreationDisposition) *outCreationDisposition = UserDisposition(CreateDisposition);
}

NTSTATUS DokanNtStatusFromWin32(uint32_t aError) {
  switch (aError) {
  case ERROR_SUCCESS:
    return STATUS_SUCCESS;
  case ERROR_FILE_NOT_FOUND:
    return STATUS_OBJECT_NAME_NOT_FOUND;
  case ERROR_PATH_NOT_FOUND:
    return STATUS_OBJECT_PATH_NOT_FOUND;
  case ERROR_ACCESS_DENIED:
    return STATUS_ACCESS_DENIED;
  case ERROR_INVALID_HANDLE:
    return STATUS_INVALID_HANDLE;
  case ERROR_NOT_ENOUGH_MEMORY:
    return STATUS_NO_MEMORY;
  case ERROR_WRITE_PROTECT:
    return STATUS_MEDIA_WRITE_PROTECTED;
  case ERROR_HANDLE_EOF:
    return STATUS_END_OF_FILE;
  case ERROR_NOT_SUPPORTED:
    return STATUS_NOT_SUPPORTED;
  case ERROR_UNEXP_NET_ERR:
    return STATUS_UNEXPECTED_NETWORK_ERROR;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return STATUS_OBJECT_NAME_COLLISION;
  case ERROR_INVALID_PARAMETER:
    return STATUS_INVALID_PARAMETER;
  case ERROR_DISK_FULL:
    return STATUS_DISK_FULL;
  case ERROR_INVALID_NAME:
    return STATUS_OBJECT_NAME_INVALID;
  case ERROR_DIR_NOT_EMPTY:
    return STATUS_DIRECTORY_NOT_EMPTY;
  case ERROR_DIRECTORY:
    return STATUS_NOT_A_DIRECTORY;
  case ERROR_IO_DEVICE:
    return STATUS_IO_DEVICE_ERROR;
  case ERROR_FILENAME_EXCED_RANGE:
    return STATUS_NAME_TOO_LONG;
  case ERROR_FILE_TOO_LARGE:
    return STATUS_FILE_TOO_LARGE;
  case ERROR_PRIVILEGE_NOT_HELD:
    return STATUS_PRIVILEGE_NOT_HELD;
  default:
    return STATUS_UNSUCCESSFUL;
  }
}

} // namespace zelvo
