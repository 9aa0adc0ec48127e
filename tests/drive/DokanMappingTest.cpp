#include <gtest/gtest.h>

#include "drive/Dokan.h"

namespace zelvo {
namespace {

TEST(DokanMappingTest, KernelRequestsBecomeCreateFileValues) {
  struct TCase {
    uint32_t FAccess, FAttributes, FOptions, FDisposition;
    uint32_t FUserAccess, FUserFlags, FUserDisposition;
  };
  const TCase FCases[] = {
      {FILE_GENERIC_READ, FILE_ATTRIBUTE_NORMAL, FILE_SYNCHRONOUS_IO_NONALERT, FILE_OPEN,
       GENERIC_READ, FILE_ATTRIBUTE_NORMAL, 3},
      {FILE_GENERIC_WRITE | DELETE, 0, FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE,
       FILE_CREATE, GENERIC_WRITE | DELETE, FILE_FLAG_DELETE_ON_CLOSE, 1},
      {FILE_ALL_ACCESS, FILE_ATTRIBUTE_HIDDEN, 0, FILE_OPEN_IF, GENERIC_ALL,
       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OVERLAPPED, 4},
      {FILE_READ_DATA, 0, FILE_SYNCHRONOUS_IO_ALERT | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY,
       FILE_OVERWRITE, FILE_READ_DATA, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN, 5},
      {FILE_GENERIC_EXECUTE, 0, FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
       FILE_OVERWRITE_IF, GENERIC_EXECUTE, FILE_FLAG_BACKUP_SEMANTICS, 2},
      {FILE_READ_ATTRIBUTES, 0, FILE_SYNCHRONOUS_IO_NONALERT | FILE_RANDOM_ACCESS, FILE_SUPERSEDE,
       FILE_READ_ATTRIBUTES, FILE_FLAG_RANDOM_ACCESS, 2},
  };
  for (const auto& FCase : FCases) {
    uint32_t FAccess = 0;
    uint32_t FFlags = 0;
    uint32_t FDisposition = 0;
    DokanMapKernelToUserCreateFileFlags(FCase.FAccess, FCase.FAttributes, FCase.FOptions,
                                        FCase.FDisposition, &FAccess, &FFlags, &FDisposition);
    EXPECT_EQ(FAccess, FCase.FUserAccess);
    EXPECT_EQ(FFlags, FCase.FUserFlags);
    EXPECT_EQ(FDisposition, FCase.FUserDisposition);
  }
}

TEST(DokanMappingTest, ErrorCodesBecomeStatuses) {
  const std::pair<uint32_t, NTSTATUS> FCases[] = {
      {ERROR_SUCCESS, STATUS_SUCCESS},
      {ERROR_FILE_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
      {ERROR_PATH_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND},
      {ERROR_FILE_EXISTS, STATUS_OBJECT_NAME_COLLISION},
      {ERROR_ALREADY_EXISTS, STATUS_OBJECT_NAME_COLLISION},
      {ERROR_HANDLE_EOF, STATUS_END_OF_FILE},
      {ERROR_UNEXP_NET_ERR, STATUS_UNEXPECTED_NETWORK_ERROR},
      {ERROR_DIR_NOT_EMPTY, STATUS_DIRECTORY_NOT_EMPTY},
      {ERROR_ACCESS_DENIED, STATUS_ACCESS_DENIED},
      {ERROR_IO_DEVICE, STATUS_IO_DEVICE_ERROR},
      {12345, STATUS_UNSUCCESSFUL},
  };
  for (const auto& [FError, FStatus] : FCases)
    EXPECT_EQ(DokanNtStatusFromWin32(FError), FStatus) << FError;
}

} // namespace
} // namespace zelvo
