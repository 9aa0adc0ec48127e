#include "server/DataFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/TextCodec.h"
#include "server/ZipWriter.h"

namespace zelvo::server {
namespace fs = std::filesystem;
namespace {

void WriteFile(const fs::path& aPath, const std::string& aContent) {
  fs::create_directories(aPath.parent_path());
  std::ofstream FFile(aPath, std::ios::binary | std::ios::trunc);
  FFile << aContent;
  if (!FFile) throw std::runtime_error("cannot write " + aPath.string());
}

std::string PatternBytes(size_t aSize) {
  std::string FData(aSize, '\0');
  uint32_t FState = 2463534242u;
  for (auto& FByte : FData) {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    FByte = static_cast<char>(FState);
  }
  return FData;
}

struct TDemoClass {
  std::string FName;
  std::vector<std::string> FStudents;
};

const std::vector<TDemoClass>& DemoClasses() {
  static const std::vector<TDemoClass> FClasses = {
      {"一年级一班", {"张三", "李四", "王五"}},
      {"一年级二班", {"赵六", "孙七"}},
      {"教师组", {"陈老师", "Teacher"}},
  };
  return FClasses;
}

void AddHomeFiles(const fs::path& aHome, const std::string& aUser) {
  WriteFile(aHome / "欢迎使用.txt",
            "你好，" + aUser + "！这是你的云盘空间。\nWelcome to your cloud disk.\n");
  WriteFile(aHome / "作业" / "第一周" / "数学.txt", "1 + 1 = 2\n");
  WriteFile(aHome / "作业" / "第一周" / "语文.txt", "床前明月光，疑是地上霜。\n");
  WriteFile(aHome / "作业" / "notes.txt", "plain ASCII notes\n");
  WriteFile(aHome / "资料" / "大文件.bin", PatternBytes(4 * 1024 * 1024));
  WriteFile(aHome / "照片集.zip", MakeZip({{"相册/", "", false},
                                           {"相册/春游.txt", "春游照片说明\n"},
                                           {"相册/秋游/合影.txt", std::string(5000, 'x')},
                                           {"readme.txt", "stored entry\n", false}}));
}

void AddShareFiles(const fs::path& aShare, const std::string& aClass) {
  WriteFile(aShare / "课程表.txt", aClass + " 课程表\n周一 语文\n周二 数学\n");
  WriteFile(aShare / "课件" / "第一章.txt", "第一章 绪论\n");
  WriteFile(aShare / "课件.zip",
            MakeZip({{"课件/第二章.txt", "第二章\n"}, {"说明.txt", "只读\n"}}));
}

// Gives what the administrator's command made to the server's user, as the server would have made
// it; aMode applies either way.
void MakeServers(const fs::path& aPath, const struct stat& aOwner, mode_t aMode) {
  if (::geteuid() == 0 && ::lchown(aPath.c_str(), aOwner.st_uid, aOwner.st_gid) != 0)
    throw std::runtime_error("cannot give " + aPath.string() +
                             " to the server's user: " + std::strerror(errno));
  fs::permissions(aPath, static_cast<fs::perms>(aMode));
}

// Names a drive can show: UTF-8 without control characters (they cannot travel in a request).
bool ShowableName(const std::string& aName) {
  return IsValidUtf8(aName) && std::none_of(aName.begin(), aName.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20;
         });
}

struct TShareCopy {
  const struct stat& FOwner;
  const std::function<void(const std::string&)>& FReport;

  void Folder(const fs::path& aPath) const {
    if (fs::is_directory(aPath)) return;
    Folder(aPath.parent_path());
    fs::create_directory(aPath);
    MakeServers(aPath, FOwner, 0700);
  }

  void File(const fs::path& aSource, const fs::path& aTarget) const {
    // Named as an upload under way: hidden from listings, removed by the next start if left.
    const fs::path FTemp = aTarget.parent_path() / (std::string(TUpload::kTempPrefix) + "share-" +
                                                    aTarget.filename().string());
    fs::copy_file(aSource, FTemp, fs::copy_options::overwrite_existing);
    try {
      MakeServers(FTemp, FOwner, 0600);
      const bool FReplaces = fs::exists(aTarget);
      fs::rename(FTemp, aTarget);
      FReport((FReplaces ? "replaced " : "copied ") + aTarget.string());
    } catch (...) {
      std::error_code FIgnored;
      fs::remove(FTemp, FIgnored);
      throw;
    }
  }

  void Any(const fs::path& aSource, const fs::path& aTarget) const {
    const std::string FName = aSource.filename().string();
    const auto FStatus = fs::status(aSource);
    if (!ShowableName(FName)) {
      FReport("skipped " + aSource.string() + ": a drive cannot show that name");
    } else if (fs::is_regular_file(FStatus)) {
      File(aSource, aTarget);
    } else if (fs::is_directory(FStatus)) {
      Folder(aTarget);
      for (const auto& FEntry : fs::directory_iterator(aSource))
        Any(FEntry.path(), aTarget / FEntry.path().filename());
    } else {
      FReport("skipped " + aSource.string() + ": neither a file nor a folder");
    }
  }
};

} // namespace

fs::path DatabasePath(const fs::path& aFolder) {
  return aFolder / "accounts.db";
}
fs::path StoragePath(const fs::path& aFolder) {
  return aFolder / "storage";
}

void InitDataFolder(const fs::path& aFolder) {
  fs::create_directories(StoragePath(aFolder) / "home");
  fs::create_directories(StoragePath(aFolder) / "share");
  TAccounts FAccounts(DatabasePath(aFolder).string());
}

std::string NameProblem(std::string_view aName, bool aIsClass) {
  if (aName.empty()) return "a name must not be empty";
  if (!IsValidUtf8(aName)) return "a name must be UTF-8";
  if (aName == "." || aName == "..") return "\".\" and \"..\" are not names";
  if (aName.find_first_of(std::string_view(" \t\\/|\0", 6)) != std::string_view::npos)
    return "a name must not hold blanks, \\, /, | or NUL";
  if (aIsClass && aName.find_first_of("()") != std::string_view::npos)
    return "a class name must not hold ( or )";
  return {};
}

void AddDemoData(TAccounts& aAccounts, const TStorage& aStorage) {
  for (const auto& FClass : DemoClasses()) {
    AddShareFiles(aStorage.Folder() / "share" / FClass.FName, FClass.FName);
    for (const auto& FStudent : FClass.FStudents) {
      aAccounts.SetPassword(FClass.FName, FStudent, kDemoPassword);
      AddHomeFiles(aStorage.Folder() / "home" / FClass.FName / FStudent, FStudent);
    }
  }
}

void AddToShare(const fs::path& aFolder, const std::string& aClass,
                const std::vector<fs::path>& aSources, const fs::path& aTo,
                const std::function<void(const std::string&)>& aReport) {
  for (const auto& FPart : aTo)
    if (aTo.is_absolute() || FPart == ".." || !ShowableName(FPart.string()))
      throw std::runtime_error("--to " + aTo.string() +
                               ": a folder inside the share is wanted (no \"..\", not absolute)");
  for (const auto& FSource : aSources)
    if (!fs::exists(FSource)) throw std::runtime_error(FSource.string() + " does not exist");
  struct stat FOwner {};
  const fs::path FStorage = StoragePath(aFolder);
  if (::stat(FStorage.c_str(), &FOwner) != 0)
    throw std::runtime_error("cannot read " + FStorage.string() + ": " + std::strerror(errno));
  const TShareCopy FCopy{FOwner, aReport};
  fs::path FTarget = FStorage / "share" / aClass;
  if (!aTo.empty()) FTarget = (FTarget / aTo).lexically_normal();
  FCopy.Folder(FTarget);
  for (const auto& FSource : aSources) {
    // "dir/" names the folder itself, as cp does.
    const fs::path FName =
        FSource.has_filename() ? FSource.filename() : FSource.parent_path().filename();
    FCopy.Any(FSource, FTarget / FName);
  }
}

TServeLock::~TServeLock() {
  ::close(FFd); // ends the lock
}

std::unique_ptr<TServeLock> TServeLock::Take(const fs::path& aFolder, std::string& aHolder) {
  const fs::path FPath = aFolder / "serve.lock";
  const int FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (FFd < 0)
    throw std::runtime_error("cannot open " + FPath.string() + ": " + std::strerror(errno));
  struct flock FLock {};
  FLock.l_type = F_WRLCK;
  FLock.l_whence = SEEK_SET;
  if (::fcntl(FFd, F_SETLK, &FLock) == 0) return std::unique_ptr<TServeLock>(new TServeLock(FFd));
  const int FError = errno;
  if (FError == EAGAIN || FError == EACCES) {
    char FText[512];
    const ssize_t FRead = ::pread(FFd, FText, sizeof FText, 0);
    aHolder.assign(FText, FRead > 0 ? static_cast<size_t>(FRead) : 0);
    while (!aHolder.empty() && (aHolder.back() == '\n' || aHolder.back() == '\0'))
      aHolder.pop_back();
    ::close(FFd);
    return nullptr;
  }
  ::close(FFd);
  throw std::runtime_error("cannot lock " + FPath.string() + ": " + std::strerror(FError));
}

void TServeLock::Describe(const std::string& aHolder) {
  const std::string FLine = aHolder + '\n';
  // Only a message depends on it: a failed write leaves the lock as it is.
  if (::ftruncate(FFd, 0) == 0) (void)!::pwrite(FFd, FLine.data(), FLine.size(), 0);
}

} // namespace zelvo::server
