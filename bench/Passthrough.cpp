// The limit for listings: a plain libfuse passthrough of a folder, read-only, with the same
// loop and time-outs as the drives.
//   passthrough SOURCE MOUNTPOINT      (serves until unmounted)
#define FUSE_USE_VERSION 314
#include <fuse3/fuse.h>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Source;

std::string Real(const char* aPath) {
  return Source + aPath;
}

void* Init(fuse_conn_info*, fuse_config* aConfig) {
  aConfig->attr_timeout = 1.0;
  aConfig->entry_timeout = 1.0;
  return nullptr;
}

int GetAttr(const char* aPath, struct stat* aStat, fuse_file_info*) {
  return ::lstat(Real(aPath).c_str(), aStat) == 0 ? 0 : -errno;
}

int ReadDir(const char* aPath, void* aBuffer, fuse_fill_dir_t aFiller, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  DIR* FDir = ::opendir(Real(aPath).c_str());
  if (FDir == nullptr) return -errno;
  while (dirent* FEntry = ::readdir(FDir)) {
    struct stat FStat {};
    ::fstatat(::dirfd(FDir), FEntry->d_name, &FStat, AT_SYMLINK_NOFOLLOW);
    aFiller(aBuffer, FEntry->d_name, &FStat, 0, FUSE_FILL_DIR_PLUS);
  }
  ::closedir(FDir);
  return 0;
}

int Open(const char* aPath, fuse_file_info* aFile) {
  const int FFd = ::open(Real(aPath).c_str(), aFile->flags);
  if (FFd < 0) return -errno;
  aFile->fh = static_cast<uint64_t>(FFd);
  return 0;
}

int Read(const char*, char* aBuffer, size_t aSize, off_t aOffset, fuse_file_info* aFile) {
  const ssize_t FGot = ::pread(static_cast<int>(aFile->fh), aBuffer, aSize, aOffset);
  return FGot < 0 ? -errno : static_cast<int>(FGot);
}

int Release(const char*, fuse_file_info* aFile) {
  ::close(static_cast<int>(aFile->fh));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: passthrough SOURCE MOUNTPOINT\n");
    return 2;
  }
  Source = argv[1];
  fuse_operations FOps{};
  FOps.init = Init;
  FOps.getattr = GetAttr;
  FOps.readdir = ReadDir;
  FOps.open = Open;
  FOps.read = Read;
  FOps.release = Release;
  char* FArgv[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-o"),
                   const_cast<char*>("ro,fsname=passthrough"), argv[2]};
  return fuse_main(5, FArgv, &FOps, nullptr);
}
