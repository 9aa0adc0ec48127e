// The file callbacks (slots 0 to 17 of the operations table).
#include <iostream>

#include "common/TextCodec.h"
#include "drive/FileSystem.h"
#include "drive/YunDiskUnit.h"
#include "platform/LastError.h"

namespace zelvo {

std::atomic<bool> DriveTrace{false};

namespace {

int RootOf(PDOKAN_FILE_INFO aInfo) {
  return aInfo->DokanOptions->_RootIndex;
}

// The open handle in a context, or 0 when the context holds none.
uint32_t ContextHandle(PDOKAN_FILE_INFO aInfo) {
  const auto FHandle = static_cast<uint32_t>(aInfo->Context);
  return FHandle == INVALID_HANDLE_VALUE ? 0 : FHandle;
}

NTSTATUS LastErrorStatus() {
  return DokanNtStatusFromWin32(GetLastError());
}

void Report(const char* aName, LPCWSTR aFileName, const std::string& aText) {
  std::cerr << "zelvo: " << aName << ' ' << (aFileName ? Utf16ToUtf8(aFileName) : "") << ": "
            << aText << std::endl;
}

// Runs a callback's body: traced when DriveTrace is on, and no exception gets out.
template <typename TBody>
auto Guarded(const char* aName, LPCWSTR aFileName, TBody aBody) {
  if (DriveTrace) Report(aName, aFileName, "enter");
  try {
    if constexpr (std::is_void_v<decltype(aBody())>) {
      aBody();
      if (DriveTrace) Report(aName, aFileName, "done");
    } else {
      const NTSTATUS FStatus = aBody();
      if (DriveTrace) Report(aName, aFileName, "status " + std::to_string(FStatus));
      return FStatus;
    }
  } catch (const std::exception& aError) {
    Report(aName, aFileName, aError.what());
  } catch (...) {
    Report(aName, aFileName, "unexpected failure");
  }
  if constexpr (!std::is_void_v<decltype(aBody())>) return DokanNtStatusFromWin32(ERROR_IO_DEVICE);
}

// The open handle a request works on: the one in its context, or a temporary open by name
// that is closed again on every way out.
class TRequestHandle {
public:
  TRequestHandle(LPCWSTR aFileName, PDOKAN_FILE_INFO aInfo, bool aForWrite)
      : FInfo(aInfo), FHandle(ContextHandle(aInfo)) {
    if (FHandle != 0) return;
    FHandle = FileSystem->YunCreateFileW(
        RootOf(aInfo), aFileName, aForWrite ? GENERIC_WRITE : GENERIC_READ,
        aForWrite ? FILE_SHARE_WRITE : FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    FTemporary = FHandle != INVALID_HANDLE_VALUE;
  }
  TRequestHandle(const TRequestHandle&) = delete;
  TRequestHandle& operator=(const TRequestHandle&) = delete;
  ~TRequestHandle() {
    if (!FTemporary) return;
    try {
      FileSystem->YunCloseHandle(RootOf(FInfo), FHandle, FInfo->DeleteOnClose != 0);
    } catch (const std::exception& aError) {
      Report("close", nullptr, aError.what());
    }
  }
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  uint32_t Get() const { return FHandle; }

private:
  PDOKAN_FILE_INFO FInfo;
  uint32_t FHandle;
  bool FTemporary = false;
};

NTSTATUS OpenFolder(LPCWSTR FileName, uint32_t aAttributes, uint32_t aDisposition,
                    uint32_t CreateOptions, PDOKAN_FILE_INFO aInfo) {
  const int FRoot = RootOf(aInfo);
  const bool FExists = aAttributes != INVALID_FILE_ATTRIBUTES;
  if (aDisposition == CREATE_NEW || aDisposition == OPEN_ALWAYS) {
    if (!FileSystem->YunCreateDirectoryW(FRoot, FileName)) {
      const uint32_t FError = GetLastError();
      if (!(FError == ERROR_ALREADY_EXISTS && aDisposition == OPEN_ALWAYS))
        return DokanNtStatusFromWin32(FError);
    }
  }
  if (FExists && !(aAttributes & FILE_ATTRIBUTE_DIRECTORY) && (CreateOptions & FILE_DIRECTORY_FILE))
    return STATUS_NOT_A_DIRECTORY;
  const uint32_t FHandle =
      FileSystem->YunCreateFileW(FRoot, FileName, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (FHandle == INVALID_HANDLE_VALUE) return LastErrorStatus();
  aInfo->Context = FHandle;
  return aDisposition == OPEN_ALWAYS && FExists ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS;
}

NTSTATUS OpenFile(LPCWSTR FileName, uint32_t aAttributes, uint32_t aAccess, uint32_t aDisposition,
                  uint32_t aFlagsAndAttributes, PDOKAN_FILE_INFO aInfo) {
  const bool FExists = aAttributes != INVALID_FILE_ATTRIBUTES;
  const auto FLacks = [&](uint32_t aBit) {
    return (aAttributes & aBit) && !(aFlagsAndAttributes & aBit);
  };
  if (FExists && (aDisposition == TRUNCATE_EXISTING || aDisposition == CREATE_ALWAYS) &&
      (FLacks(FILE_ATTRIBUTE_HIDDEN) || FLacks(FILE_ATTRIBUTE_SYSTEM)))
    return STATUS_ACCESS_DENIED;
  if (((FExists && (aAttributes & FILE_ATTRIBUTE_READONLY)) ||
       (aFlagsAndAttributes & FILE_ATTRIBUTE_READONLY)) &&
      (aFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE))
    return STATUS_CANNOT_DELETE;
  SetLastError(ERROR_SUCCESS);
  const uint32_t FHandle = FileSystem->YunCreateFileW(RootOf(aInfo), FileName, aAccess, 0, nullptr,
                                                      aDisposition, aFlagsAndAttributes, nullptr);
  if (FHandle == INVALID_HANDLE_VALUE) return LastErrorStatus();
  aInfo->Context = FHandle;
  if ((aDisposition == OPEN_ALWAYS || aDisposition == CREATE_ALWAYS) &&
      GetLastError() == ERROR_ALREADY_EXISTS)
    return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

NTSTATUS Truncate(int64_t aLength, PDOKAN_FILE_INFO aInfo) {
  const uint32_t FHandle = ContextHandle(aInfo);
  if (FHandle == 0) return STATUS_INVALID_HANDLE;
  const int FRoot = RootOf(aInfo);
  FileSystem->YunAwaitContent(FRoot, FHandle); // what a resize keeps, fetched without the lock
  const auto FGuard = FileSystem->Lock();
  if (!FileSystem->YunSetFilePointerEx(FRoot, FHandle, aLength, nullptr, FILE_BEGIN) ||
      !FileSystem->YunSetEndOfFile(FRoot, FHandle))
    return LastErrorStatus();
  return STATUS_SUCCESS;
}

NTSTATUS CloseContext(LPCWSTR, PDOKAN_FILE_INFO aInfo) {
  if (aInfo->Context == 0) return STATUS_SUCCESS;
  const auto FHandle = static_cast<uint32_t>(aInfo->Context);
  aInfo->Context = 0;
  return FileSystem->YunCloseHandle(RootOf(aInfo), FHandle, aInfo->DeleteOnClose != 0)
             ? STATUS_SUCCESS
             : LastErrorStatus();
}

} // namespace

NTSTATUS ZwCreateFile(LPCWSTR FileName, void*, uint32_t DesiredAccess, uint32_t FileAttributes,
                      uint32_t, uint32_t CreateDisposition, uint32_t CreateOptions,
                      PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("ZwCreateFile", FileName, [&]() -> NTSTATUS {
    uint32_t FAccess = 0;
    uint32_t FFlags = 0;
    uint32_t FDisposition = 0;
    DokanMapKernelToUserCreateFileFlags(DesiredAccess, FileAttributes, CreateOptions,
                                        CreateDisposition, &FAccess, &FFlags, &FDisposition);
    // Opening an archive as a folder (to look at it, or to list it: the listing prepares it
    // again) needs none of its content.
    FileSystem->YunPrepareListings(RootOf(DokanFileInfo), FileName, false);
    const uint32_t FAttributes = FileSystem->YunGetFileAttributesW(RootOf(DokanFileInfo), FileName);
    if (FAttributes != INVALID_FILE_ATTRIBUTES && (FAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (CreateOptions & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
      DokanFileInfo->IsDirectory = 1;
    }
    if (DokanFileInfo->IsDirectory)
      return OpenFolder(FileName, FAttributes, FDisposition, CreateOptions, DokanFileInfo);
    return OpenFile(FileName, FAttributes, FAccess, FDisposition, FFlags, DokanFileInfo);
  });
}

void Cleanup(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo) {
  DokanFileInfo->_CleanupStatus = STATUS_IO_DEVICE_ERROR; // unless the work below ends
  Guarded("Cleanup", FileName, [&] {
    NTSTATUS FStatus = CloseContext(FileName, DokanFileInfo);
    if (DokanFileInfo->DeleteOnClose && FStatus == STATUS_SUCCESS &&
        !FileSystem->YunDeleteFile(RootOf(DokanFileInfo), FileName))
      FStatus = LastErrorStatus();
    DokanFileInfo->_CleanupStatus = FStatus;
  });
}

void CloseFile(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo) {
  Guarded("CloseFile", FileName, [&] { CloseContext(FileName, DokanFileInfo); });
}

NTSTATUS ReadFile(LPCWSTR FileName, void* Buffer, uint32_t BufferLength, uint32_t* ReadLength,
                  int64_t Offset, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("ReadFile", FileName, [&]() -> NTSTATUS {
    const int FRoot = RootOf(DokanFileInfo);
    // An open file reads at the offset: a fetch under way holds up only this file's readers.
    if (const uint32_t FOpen = ContextHandle(DokanFileInfo))
      return FileSystem->YunReadFileAt(FRoot, FOpen, Buffer, BufferLength, Offset, ReadLength)
                 ? STATUS_SUCCESS
                 : LastErrorStatus();
    // A request of its own: the same read at the offset, its fetch without the lock too.
    FileSystem->YunPrepareListings(FRoot, FileName);
    const TRequestHandle FHandle(FileName, DokanFileInfo, false);
    if (!FHandle.Valid()) return LastErrorStatus();
    return FileSystem->YunReadFileAt(FRoot, FHandle.Get(), Buffer, BufferLength, Offset, ReadLength)
               ? STATUS_SUCCESS
               : LastErrorStatus();
  });
}

NTSTATUS WriteFile(LPCWSTR FileName, const void* Buffer, uint32_t NumberOfBytesToWrite,
                   uint32_t* NumberOfBytesWritten, int64_t Offset, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("WriteFile", FileName, [&]() -> NTSTATUS {
    const int FRoot = RootOf(DokanFileInfo);
    if (ContextHandle(DokanFileInfo) == 0) FileSystem->YunPrepareListings(FRoot, FileName);
    const TRequestHandle FHandle(FileName, DokanFileInfo, true);
    if (!FHandle.Valid()) return LastErrorStatus();
    // The content a write completes is fetched first, without holding the lock; a request of
    // its own closes (and sends) after the lock is let go.
    FileSystem->YunAwaitContent(FRoot, FHandle.Get());
    const auto FGuard = FileSystem->Lock();
    uint32_t FHigh = 0;
    const uint32_t FLow = FileSystem->YunGetFileSize(FRoot, FHandle.Get(), &FHigh);
    if (FLow == 0xFFFFFFFF && GetLastError() != ERROR_SUCCESS) return LastErrorStatus();
    const uint64_t FSize = uint64_t{FHigh} << 32 | FLow;
    if (DokanFileInfo->WriteToEndOfFile) {
      if (!FileSystem->YunSetFilePointerEx(FRoot, FHandle.Get(), 0, nullptr, FILE_END))
        return LastErrorStatus();
    } else {
      if (DokanFileInfo->PagingIo) {
        // Paging writes never extend a file.
        if (static_cast<uint64_t>(Offset) >= FSize) {
          *NumberOfBytesWritten = 0;
          return STATUS_SUCCESS;
        }
        if (static_cast<uint64_t>(Offset) + NumberOfBytesToWrite > FSize)
          NumberOfBytesToWrite = static_cast<uint32_t>(FSize - static_cast<uint64_t>(Offset));
      }
      if (!FileSystem->YunSetFilePointerEx(FRoot, FHandle.Get(), Offset, nullptr, FILE_BEGIN))
        return LastErrorStatus();
    }
    if (!FileSystem->YunWriteFile(FRoot, FHandle.Get(), Buffer, NumberOfBytesToWrite,
                                  NumberOfBytesWritten, nullptr))
      return LastErrorStatus();
    return STATUS_SUCCESS;
  });
}

NTSTATUS FlushFileBuffers(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("FlushFileBuffers", FileName, [&]() -> NTSTATUS {
    const uint32_t FHandle = ContextHandle(DokanFileInfo);
    if (FHandle == 0 || FileSystem->YunFlushFileBuffers(RootOf(DokanFileInfo), FHandle,
                                                        DokanFileInfo->_DescriptorClose != 0))
      return STATUS_SUCCESS;
    return LastErrorStatus();
  });
}

NTSTATUS GetFileInformation(LPCWSTR FileName, BY_HANDLE_FILE_INFORMATION* HandleFileInformation,
                            PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("GetFileInformation", FileName, [&]() -> NTSTATUS {
    // Without an open, straight from the node: looking at a file opens nothing.
    if (ContextHandle(DokanFileInfo) == 0) {
      FileSystem->YunPrepareListings(RootOf(DokanFileInfo), FileName, false);
      return FileSystem->YunGetFileInformationByName(RootOf(DokanFileInfo), FileName,
                                                     HandleFileInformation)
                 ? STATUS_SUCCESS
                 : LastErrorStatus();
    }
    const auto FGuard = FileSystem->Lock();
    const TRequestHandle FHandle(FileName, DokanFileInfo, false);
    if (!FHandle.Valid()) return LastErrorStatus();
    return FileSystem->YunGetFileInformationByHandle(RootOf(DokanFileInfo), FHandle.Get(),
                                                     HandleFileInformation)
               ? STATUS_SUCCESS
               : STATUS_BUFFER_OVERFLOW;
  });
}

NTSTATUS FindFiles(LPCWSTR FileName, PFillFindData FillFindData, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("FindFiles", FileName, [&]() -> NTSTATUS {
    FileSystem->YunPrepareListings(RootOf(DokanFileInfo), FileName);
    std::u16string FPattern = FileName;
    if (FPattern.empty() || FPattern.back() != u'\\') FPattern += u'\\';
    FPattern += u'*';
    // Straight from the nodes: a big folder makes no copy of its records. A folder the server
    // could not list fails: an empty answer would say it is empty.
    const bool FListed = FileSystem->YunFindFiles(
        RootOf(DokanFileInfo), FPattern.c_str(), [&](const TFileInfo& aItem) {
          WIN32_FIND_DATAW FRecord = FileInfoToFindData(aItem);
          FillFindData(&FRecord, DokanFileInfo);
        });
    return FListed ? STATUS_SUCCESS : LastErrorStatus();
  });
}

NTSTATUS SetFileAttributes(LPCWSTR, uint32_t, PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

NTSTATUS SetFileTime(LPCWSTR, const FILETIME*, const FILETIME*, const FILETIME*, PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

NTSTATUS DeleteFile(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("DeleteFile", FileName, [&]() -> NTSTATUS {
    const int FRoot = RootOf(DokanFileInfo);
    FileSystem->YunPrepareListings(FRoot, FileName);
    const uint32_t FAttributes = FileSystem->YunGetFileAttributesW(FRoot, FileName);
    if (FAttributes != INVALID_FILE_ATTRIBUTES && (FAttributes & FILE_ATTRIBUTE_DIRECTORY))
      return STATUS_ACCESS_DENIED;
    if (ContextHandle(DokanFileInfo) == 0 || DokanFileInfo->DeleteOnClose) return STATUS_SUCCESS;
    return FileSystem->YunDeleteFile(FRoot, FileName) ? STATUS_SUCCESS : LastErrorStatus();
  });
}

NTSTATUS DeleteDirectory(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("DeleteDirectory", FileName, [&]() -> NTSTATUS {
    // Whether the folder is empty must be known: its listing is fetched first.
    FileSystem->YunPrepareListings(RootOf(DokanFileInfo), FileName);
    return FileSystem->YunDeleteFile(RootOf(DokanFileInfo), FileName) ? STATUS_SUCCESS
                                                                      : LastErrorStatus();
  });
}

NTSTATUS MoveFile(LPCWSTR FileName, LPCWSTR NewFileName, int ReplaceIfExisting,
                  PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("MoveFile", FileName, [&]() -> NTSTATUS {
    const uint32_t FHandle = ContextHandle(DokanFileInfo);
    if (FHandle == 0) return STATUS_INVALID_HANDLE;
    FileSystem->YunPrepareListings(RootOf(DokanFileInfo), NewFileName); // for the move at close
    return FileSystem->YunMoveFile(RootOf(DokanFileInfo), FHandle, FileName, NewFileName,
                                   ReplaceIfExisting != 0)
               ? STATUS_SUCCESS
               : LastErrorStatus();
  });
}

NTSTATUS SetEndOfFile(LPCWSTR FileName, int64_t ByteOffset, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("SetEndOfFile", FileName,
                 [&]() -> NTSTATUS { return Truncate(ByteOffset, DokanFileInfo); });
}

NTSTATUS SetAllocationSize(LPCWSTR FileName, int64_t AllocSize, PDOKAN_FILE_INFO DokanFileInfo) {
  return Guarded("SetAllocationSize", FileName, [&]() -> NTSTATUS {
    const uint32_t FHandle = ContextHandle(DokanFileInfo);
    if (FHandle == 0) return STATUS_INVALID_HANDLE;
    const auto FGuard = FileSystem->Lock();
    constexpr int64_t kNoSize = -1;
    int64_t FSize = kNoSize;
    FileSystem->YunGetFileSizeEx(RootOf(DokanFileInfo), FHandle, &FSize);
    if (FSize == kNoSize) return LastErrorStatus(); // a folder or an unknown handle
    return AllocSize < FSize ? Truncate(AllocSize, DokanFileInfo) : STATUS_SUCCESS;
  });
}

NTSTATUS LockFile(LPCWSTR, int64_t, int64_t, PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

NTSTATUS UnlockFile(LPCWSTR, int64_t, int64_t, PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

} // namespace zelvo
