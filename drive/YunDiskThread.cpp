// The mount thread of a drive and its volume callbacks.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "drive/YunDiskUnit.h"
#include "platform/Security.h"

namespace zelvo {
namespace {

constexpr uint32_t kVolumeSerial = 0x20190412;
constexpr uint32_t kMaxComponentLength = 255;
constexpr uint32_t kFileSystemFlags = 0x4010F;

void CopyText(std::u16string_view aText, LPWSTR aBuffer, uint32_t aSize) {
  if (aBuffer == nullptr || aSize == 0) return;
  const size_t FCount = std::min<size_t>(aText.size(), aSize - 1);
  std::copy_n(aText.data(), FCount, aBuffer);
  aBuffer[FCount] = u'\0';
}

// The platform's volume query (GetVolumeInformationW): Linux has no volume behind a drive
// letter, so the query never succeeds and the drive describes itself.
bool QueryLocalVolume(char16_t) {
  return false;
}

} // namespace

NTSTATUS GetVolumeInformation(LPWSTR VolumeNameBuffer, uint32_t VolumeNameSize,
                              uint32_t* VolumeSerialNumber, uint32_t* MaximumComponentLength,
                              uint32_t* FileSystemFlags, LPWSTR FileSystemNameBuffer,
                              uint32_t FileSystemNameSize, PDOKAN_FILE_INFO DokanFileInfo) {
  const DOKAN_OPTIONS& FOptions = *DokanFileInfo->DokanOptions;
  CopyText(FOptions._YunVolumeName, VolumeNameBuffer, VolumeNameSize);
  if (VolumeSerialNumber) *VolumeSerialNumber = kVolumeSerial;
  if (MaximumComponentLength) *MaximumComponentLength = kMaxComponentLength;
  if (FileSystemFlags) *FileSystemFlags = kFileSystemFlags;
  if (!QueryLocalVolume(FOptions._RootDirectory[0]))
    CopyText(u"NTFS", FileSystemNameBuffer, FileSystemNameSize);
  return STATUS_SUCCESS;
}

NTSTATUS Mounted(PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}
NTSTATUS Unmounted(PDOKAN_FILE_INFO) {
  return STATUS_SUCCESS;
}

DOKAN_OPERATIONS MakeDokanOperations() {
  DOKAN_OPERATIONS FOps{};
  FOps.ZwCreateFile = ZwCreateFile;
  FOps.Cleanup = Cleanup;
  FOps.CloseFile = CloseFile;
  FOps.ReadFile = ReadFile;
  FOps.WriteFile = WriteFile;
  FOps.FlushFileBuffers = FlushFileBuffers;
  FOps.GetFileInformation = GetFileInformation;
  FOps.FindFiles = FindFiles;
  FOps.SetFileAttributes = SetFileAttributes;
  FOps.SetFileTime = SetFileTime;
  FOps.DeleteFile = DeleteFile;
  FOps.DeleteDirectory = DeleteDirectory;
  FOps.MoveFile = MoveFile;
  FOps.SetEndOfFile = SetEndOfFile;
  FOps.SetAllocationSize = SetAllocationSize;
  FOps.LockFile = LockFile;
  FOps.UnlockFile = UnlockFile;
  FOps.GetVolumeInformation = GetVolumeInformation;
  FOps.Mounted = Mounted;
  FOps.Unmounted = Unmounted;
  return FOps;
}

int YundiskMain(const TYunDiskThread& aThread) {
  auto FOperations = std::make_unique<DOKAN_OPERATIONS>();
  auto FOptions = std::make_unique<DOKAN_OPTIONS>();
  FOptions->Version = DOKAN_VERSION;
  FOptions->ThreadCount = 0;
  FOptions->_RootIndex = aThread.YunRootIndex;
  FOptions->_YunRootDir = aThread.YunRootDir;
  FOptions->_YunMountPoint = aThread.YunMountPoint;
  FOptions->_YunVolumeName = aThread.YunVolumeName;
  CopyText(aThread.YunRootDir, FOptions->_RootDirectory, MAX_PATH);
  CopyText(aThread.YunMountPoint, FOptions->_MountPoint, MAX_PATH);
  FOptions->MountPoint = FOptions->_MountPoint;
  if (aThread.YunMountPoint.empty()) return 1;
  EnableSecurityPrivilege();
  if (aThread.WriteProtect) FOptions->Options |= DOKAN_OPTION_WRITE_PROTECT;
  *FOperations = MakeDokanOperations();
  return DokanMain(FOptions.get(), FOperations.get());
}

TYunDiskThread::TYunDiskThread(int32_t aYunRootIndex, std::u16string aYunRootDir,
                               std::u16string aYunMountPoint, std::u16string aYunVolumeName,
                               bool aWriteProtect)
    : WriteProtect(aWriteProtect), YunRootIndex(aYunRootIndex), YunRootDir(std::move(aYunRootDir)),
      YunMountPoint(std::move(aYunMountPoint)), YunVolumeName(std::move(aYunVolumeName)),
      FThread([this] { Execute(); }) {}

TYunDiskThread::~TYunDiskThread() {
  WaitFor();
}

void TYunDiskThread::Stop(char16_t aLetter) {
  using namespace std::chrono_literals;
  while (!FFinished) {
    DokanUnmount(aLetter);
    for (int i = 0; i < 50 && !FFinished; ++i)
      std::this_thread::sleep_for(10ms);
  }
  WaitFor();
}

void TYunDiskThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TYunDiskThread::Execute() {
  FResult = YundiskMain(*this);
  FFinished = true;
}

} // namespace zelvo
