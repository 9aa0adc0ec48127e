#include "platform/fuse/FuseMountPoint.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TextCodec.h"

extern char** environ;

namespace zelvo {
namespace {

void LazyUnmount(const std::string& aPath) {
  if (::geteuid() == 0 && ::umount2(aPath.c_str(), MNT_DETACH) == 0) return;
  const char* FArgv[] = {"fusermount3", "-u", "-z", "-q", aPath.c_str(), nullptr};
  pid_t FChild = 0;
  if (::posix_spawnp(&FChild, "fusermount3", nullptr, nullptr, const_cast<char**>(FArgv),
                     environ) == 0) {
    int FStatus = 0;
    ::waitpid(FChild, &FStatus, 0);
  }
}

} // namespace

char16_t AsciiUpper(char16_t aChar) {
  return aChar >= u'a' && aChar <= u'z' ? static_cast<char16_t>(aChar - 32) : aChar;
}

bool ResolveMountPoint(const std::u16string& aMountPoint, std::string& aPath, char16_t& aLetter) {
  aLetter = 0;
  if (aMountPoint.size() == 2 && aMountPoint[1] == u':' && AsciiUpper(aMountPoint[0]) >= u'A' &&
      AsciiUpper(aMountPoint[0]) <= u'Z') {
    const char* FHome = std::getenv("HOME");
    if (FHome == nullptr || *FHome == '\0') return false;
    aLetter = AsciiUpper(aMountPoint[0]);
    aPath = std::string(FHome) + "/Zelvo/" + static_cast<char>(aLetter);
    return true;
  }
  if (aMountPoint.empty() || aMountPoint[0] != u'/') return false;
  aPath = Utf16ToUtf8(aMountPoint);
  while (aPath.size() > 1 && aPath.back() == '/')
    aPath.pop_back();
  const std::string FLast = std::filesystem::path(aPath).filename().string();
  if (FLast.size() == 1 && std::isalpha(static_cast<unsigned char>(FLast[0])))
    aLetter = AsciiUpper(static_cast<char16_t>(FLast[0]));
  return true;
}

bool PrepareMountPoint(const std::string& aPath) {
  struct stat FStat {};
  if (::stat(aPath.c_str(), &FStat) != 0 && errno == ENOTCONN) LazyUnmount(aPath);
  std::error_code FError;
  std::filesystem::create_directories(aPath, FError);
  return ::stat(aPath.c_str(), &FStat) == 0 && S_ISDIR(FStat.st_mode);
}

void TakeDown(const std::string& aPath) {
  if (::geteuid() == 0) ::umount2(aPath.c_str(), MNT_FORCE);
  LazyUnmount(aPath);
}

} // namespace zelvo
