#include "common/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TextCodec.h"

namespace zelvo {

bool TMemoryStream::SetSize(int64_t aSize) {
  if (aSize < 0) return false;
  FData.resize(static_cast<size_t>(aSize));
  return true;
}

int64_t TMemoryStream::Read(void* aBuffer, int64_t aCount) {
  const int64_t FAvailable = std::max<int64_t>(0, GetSize() - FPosition);
  const int64_t FCount = std::clamp<int64_t>(aCount, 0, FAvailable);
  if (FCount > 0) std::memcpy(aBuffer, FData.data() + FPosition, static_cast<size_t>(FCount));
  FPosition += FCount;
  return FCount;
}

int64_t TMemoryStream::Write(const void* aBuffer, int64_t aCount) {
  if (aCount <= 0) return 0;
  const int64_t FEnd = FPosition + aCount;
  if (FEnd > GetSize()) FData.resize(static_cast<size_t>(FEnd));
  std::memcpy(FData.data() + FPosition, aBuffer, static_cast<size_t>(aCount));
  FPosition = FEnd;
  return aCount;
}

namespace {

int OpenFlags(TFileStream::TMode aMode) {
  switch (aMode) {
  case TFileStream::TMode::Create:
    return O_RDWR | O_CREAT | O_TRUNC;
  case TFileStream::TMode::OpenRead:
    return O_RDONLY;
  case TFileStream::TMode::OpenReadWrite:
    return O_RDWR;
  }
  return O_RDONLY;
}

} // namespace

TFileStream::TFileStream(const std::u16string& aFileName, TMode aMode) {
  FFd = ::open(Utf16ToUtf8(aFileName).c_str(), OpenFlags(aMode) | O_CLOEXEC, 0600);
  if (FFd < 0) {
    const char* FVerb = aMode == TMode::Create ? "Cannot create file \"" : "Cannot open file \"";
    throw EFileStreamError(FVerb + Utf16ToUtf8(aFileName) + "\". " + std::strerror(errno));
  }
}

TFileStream::~TFileStream() {
  if (FFd >= 0) ::close(FFd);
}

int64_t TFileStream::GetSize() const {
  struct stat FStat {};
  return ::fstat(FFd, &FStat) == 0 ? FStat.st_size : 0;
}

bool TFileStream::SetSize(int64_t aSize) {
  return aSize >= 0 && ::ftruncate(FFd, aSize) == 0;
}

int64_t TFileStream::Read(void* aBuffer, int64_t aCount) {
  const int64_t FDone = ReadAt(aBuffer, aCount, FPosition);
  FPosition += FDone;
  return FDone;
}

int64_t TFileStream::ReadAt(void* aBuffer, int64_t aCount, int64_t aOffset) const {
  int64_t FDone = 0;
  while (FDone < aCount) {
    const ssize_t FGot = ::pread(FFd, static_cast<char*>(aBuffer) + FDone,
                                 static_cast<size_t>(aCount - FDone), aOffset + FDone);
    if (FGot < 0 && errno == EINTR) continue;
    if (FGot <= 0) break;
    FDone += FGot;
  }
  return FDone;
}

int64_t WriteAt(int aFd, const void* aBuffer, int64_t aCount, int64_t aOffset) {
  int64_t FDone = 0;
  while (FDone < aCount) {
    const ssize_t FPut = ::pwrite(aFd, static_cast<const char*>(aBuffer) + FDone,
                                  static_cast<size_t>(aCount - FDone), aOffset + FDone);
    if (FPut < 0 && errno == EINTR) continue;
    if (FPut <= 0) break;
    FDone += FPut;
  }
  return FDone;
}

int64_t TFileStream::Write(const void* aBuffer, int64_t aCount) {
  const int64_t FDone = WriteAt(FFd, aBuffer, aCount, FPosition);
  FPosition += FDone;
  return FDone;
}

} // namespace zelvo
