#include "tree/PendingJournal.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/Globals.h"
#include "common/LocalFolders.h"
#include "common/TextCodec.h"

namespace zelvo {
namespace {

constexpr char kJournalName[] = "pending.journal";

// One field per line would break on names holding line feeds: fields are tab-separated and
// escaped.
std::string Escape(std::u16string_view aText) {
  std::string FOut;
  for (const char FChar : Utf16ToUtf8(aText)) {
    switch (FChar) {
    case '%':
      FOut += "%25";
      break;
    case '\t':
      FOut += "%09";
      break;
    case '\n':
      FOut += "%0A";
      break;
    case '\r':
      FOut += "%0D";
      break;
    default:
      FOut += FChar;
    }
  }
  return FOut;
}

std::u16string Unescape(std::string_view aText) {
  std::string FOut;
  for (size_t i = 0; i < aText.size(); ++i) {
    unsigned FByte = 0;
    // A damaged escape stays as it is: a journal edited by hand must not stop the login.
    if (aText[i] == '%' && i + 2 < aText.size() &&
        std::from_chars(aText.data() + i + 1, aText.data() + i + 3, FByte, 16).ptr ==
            aText.data() + i + 3) {
      FOut += static_cast<char>(FByte);
      i += 2;
    } else {
      FOut += aText[i];
    }
  }
  return Utf8ToUtf16(FOut);
}

std::vector<std::string_view> Fields(std::string_view aLine) {
  std::vector<std::string_view> FFields;
  for (size_t FAt = 0;;) {
    const size_t FTab = aLine.find('\t', FAt);
    FFields.push_back(aLine.substr(FAt, FTab == std::string_view::npos ? FTab : FTab - FAt));
    if (FTab == std::string_view::npos) return FFields;
    FAt = FTab + 1;
  }
}

bool Below(const std::u16string& aFullName, const std::u16string& aRoot) {
  return !aRoot.empty() && aFullName.size() > aRoot.size() && aFullName.starts_with(aRoot) &&
         aFullName[aRoot.size()] == u'\\';
}

template <typename TNumber>
bool ParseNumber(std::string_view aText, TNumber& aValue) {
  return !aText.empty() && std::from_chars(aText.data(), aText.data() + aText.size(), aValue).ptr ==
                               aText.data() + aText.size();
}

bool SameFolder(const std::filesystem::path& aLeft, const std::filesystem::path& aRight) {
  const auto FPlain = [](const std::filesystem::path& aPath) {
    const auto FNormal = aPath.lexically_normal();
    return FNormal.has_filename() ? FNormal : FNormal.parent_path();
  };
  return FPlain(aLeft) == FPlain(aRight);
}

// A content file the journal may name: a plain file (no link) directly in the cache folder.
bool IsContentFile(const std::filesystem::path& aCacheDir, const std::filesystem::path& aName) {
  const std::string FName = aName.string();
  if (FName.empty() || FName == "." || FName == ".." || FName.find('/') != std::string::npos)
    return false;
  std::error_code FError;
  const auto FStatus = std::filesystem::symlink_status(aCacheDir / aName, FError);
  // Gone is allowed: the entry is dropped when it is used (its content was removed by hand).
  return FStatus.type() == std::filesystem::file_type::not_found ||
         FStatus.type() == std::filesystem::file_type::regular;
}

std::optional<TServerVersion> ParseBase(std::string_view aSize, std::string_view aTime, bool& aOk) {
  int64_t FSize = 0;
  int64_t FTime = 0;
  if (aSize.empty() && aTime.empty()) return std::nullopt;
  aOk = aOk && ParseNumber(aSize, FSize) && ParseNumber(aTime, FTime);
  return TServerVersion{FSize, FileTimeFromInt(FTime)};
}

// One line, or nothing when it is malformed or names content outside the cache folder.
std::optional<TPendingEntry> ParseLine(std::string_view aLine,
                                       const std::filesystem::path& aCacheDir) {
  const auto FParts = Fields(aLine);
  TPendingEntry FEntry;
  std::filesystem::path FContent;
  bool FOk = true;
  if (FParts.size() == 9 && FParts[0] == "2") {
    FEntry.FServer = Unescape(FParts[1]);
    FOk = ParseNumber(FParts[2], FEntry.FPort);
    FEntry.FFullName = Unescape(FParts[3]);
    FContent = Utf16ToUtf8(Unescape(FParts[4]));
    FEntry.FBase = ParseBase(FParts[5], FParts[6], FOk);
    FOk = FOk && ParseNumber(FParts[7], FEntry.FRefusals);
    FEntry.FLastOutcome = Unescape(FParts[8]);
  } else if (FParts.size() == 3 || FParts.size() == 5) {
    // The first format: a full content path, and no port (the default one was the only one).
    FEntry.FServer = Unescape(FParts[0]);
    FEntry.FPort = kDefaultServerPort;
    FEntry.FFullName = Unescape(FParts[1]);
    const std::filesystem::path FPath = Utf16ToUtf8(Unescape(FParts[2]));
    if (!SameFolder(FPath.parent_path(), aCacheDir)) return {};
    FContent = FPath.filename();
    if (FParts.size() == 5) FEntry.FBase = ParseBase(FParts[3], FParts[4], FOk);
  } else {
    return {};
  }
  if (!FOk || FEntry.FServer.empty() || FEntry.FFullName.empty() ||
      !IsContentFile(aCacheDir, FContent))
    return {};
  FEntry.FCacheFile = Utf8ToUtf16((aCacheDir / FContent).string());
  return FEntry;
}

std::string LineOf(const TPendingEntry& aEntry) {
  std::ostringstream FLine;
  FLine << "2\t" << Escape(aEntry.FServer) << '\t' << aEntry.FPort << '\t'
        << Escape(aEntry.FFullName) << '\t'
        << Escape(Utf8ToUtf16(
               std::filesystem::path(Utf16ToUtf8(aEntry.FCacheFile)).filename().string()))
        << '\t';
  if (aEntry.FBase) FLine << aEntry.FBase->FSize;
  FLine << '\t';
  if (aEntry.FBase) FLine << FileTimeToInt(aEntry.FBase->FWriteTime);
  FLine << '\t' << aEntry.FRefusals << '\t' << Escape(aEntry.FLastOutcome) << '\n';
  return FLine.str();
}

// The journal as it was, under a name of its own beside it (never read again by the drives).
std::filesystem::path SetAside(const std::filesystem::path& aJournal) {
  const std::time_t FNow = std::time(nullptr);
  std::tm FLocal{};
  ::localtime_r(&FNow, &FLocal);
  char FWhen[32];
  std::strftime(FWhen, sizeof FWhen, "%Y%m%d-%H%M%S", &FLocal);
  std::filesystem::path FAside = aJournal;
  FAside += std::string(".rejected-") + FWhen;
  std::error_code FError;
  std::filesystem::copy_file(aJournal, FAside, std::filesystem::copy_options::overwrite_existing,
                             FError);
  return FError ? std::filesystem::path() : FAside;
}

} // namespace

TPendingJournal& PendingChanges() {
  // Never destroyed: a drive's retry thread may still use it while the process exits.
  static auto* FJournal = new TPendingJournal;
  return *FJournal;
}

std::filesystem::path TPendingJournal::Open(const std::u16string& aCacheDir) {
  std::lock_guard FGuard(FLock);
  const std::filesystem::path FCacheDir = Utf16ToUtf8(aCacheDir);
  FPath = FCacheDir / kJournalName;
  FEntries.clear();
  std::ifstream FFile(FPath, std::ios::binary);
  std::string FLine;
  bool FRejected = false;
  while (std::getline(FFile, FLine)) {
    if (FLine.empty()) continue;
    if (auto FEntry = ParseLine(FLine, FCacheDir))
      FEntries.push_back(std::move(*FEntry));
    else
      FRejected = true;
  }
  if (!FRejected) return {};
  std::filesystem::path FAside = SetAside(FPath);
  if (!FAside.empty()) SaveLocked(); // the unusable lines stay only in the file set aside
  return FAside.empty() ? FPath : FAside;
}

bool TPendingJournal::SaveLocked() const {
  if (FPath.empty()) return true;
  std::string FText;
  for (const auto& FEntry : FEntries)
    FText += LineOf(FEntry);
  const auto FTemp = FPath.string() + ".new";
  {
    std::ofstream FFile(FTemp, std::ios::binary | std::ios::trunc);
    FFile << FText;
    FFile.flush();
    if (!FFile) {
      std::cerr << "zelvo: the pending-changes journal " << FPath << " could not be written\n";
      return false;
    }
  }
  std::error_code FError;
  if (!SyncToDisk(FTemp)) FError = std::make_error_code(std::errc::io_error);
  if (!FError) std::filesystem::rename(FTemp, FPath, FError);
  if (!FError && !SyncToDisk(FPath)) FError = std::make_error_code(std::errc::io_error);
  if (!FError) return true;
  std::cerr << "zelvo: the pending-changes journal " << FPath << ": " << FError.message() << '\n';
  return false;
}

bool TPendingJournal::Add(const TPendingEntry& aEntry) {
  std::lock_guard FGuard(FLock);
  const auto FSame = std::find_if(FEntries.begin(), FEntries.end(), [&](const TPendingEntry& aOld) {
    return aOld.SameFile(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
  });
  if (FSame != FEntries.end() && *FSame == aEntry) return true;
  if (FSame != FEntries.end()) {
    *FSame = aEntry; // an entry that was recorded stays so; its new fields are written next time
    return SaveLocked();
  }
  FEntries.push_back(aEntry);
  if (SaveLocked()) return true;
  FEntries.pop_back(); // not on the disk: not pending, so nobody sends or forgets it as pending
  return false;
}

void TPendingJournal::Remove(const std::u16string& aServer, int32_t aPort,
                             const std::u16string& aFullName) {
  std::lock_guard FGuard(FLock);
  const auto FOld = std::erase_if(FEntries, [&](const TPendingEntry& aEntry) {
    return aEntry.SameFile(aServer, aPort, aFullName);
  });
  if (FOld > 0) SaveLocked();
}

std::optional<TPendingEntry> TPendingJournal::Find(const std::u16string& aServer, int32_t aPort,
                                                   const std::u16string& aFullName) const {
  std::lock_guard FGuard(FLock);
  for (const auto& FEntry : FEntries)
    if (FEntry.SameFile(aServer, aPort, aFullName)) return FEntry;
  return std::nullopt;
}

std::vector<TPendingEntry> TPendingJournal::EntriesBelow(const std::u16string& aServer,
                                                         int32_t aPort,
                                                         const std::u16string& aRoot) const {
  std::lock_guard FGuard(FLock);
  std::vector<TPendingEntry> FFound;
  for (const auto& FEntry : FEntries)
    if (FEntry.FServer == aServer && FEntry.FPort == aPort && Below(FEntry.FFullName, aRoot))
      FFound.push_back(FEntry);
  return FFound;
}

std::vector<TPendingEntry> TPendingJournal::Entries() const {
  std::lock_guard FGuard(FLock);
  return FEntries;
}

std::u16string TPendingJournal::PendingFileName(const std::u16string& aCacheDir,
                                                const std::u16string& aServer, int32_t aPort,
                                                const std::u16string& aFullName) {
  // FNV-1a over the three: a stable name for the same file in every run.
  uint64_t FHash = 14695981039346656037ull;
  for (const char FChar :
       Utf16ToUtf8(aServer + u'\n' + Utf8ToUtf16(std::to_string(aPort)) + u'\n' + aFullName)) {
    FHash ^= static_cast<uint8_t>(FChar);
    FHash *= 1099511628211ull;
  }
  char FText[40];
  std::snprintf(FText, sizeof FText, "pending-%016llx.cache",
                static_cast<unsigned long long>(FHash));
  return aCacheDir + Utf8ToUtf16(FText);
}

void CleanCacheFolder(const std::u16string& aCacheDir) {
  std::vector<std::filesystem::path> FKeep;
  for (const auto& FEntry : PendingChanges().Entries())
    FKeep.push_back(std::filesystem::path(Utf16ToUtf8(FEntry.FCacheFile)).filename());
  std::error_code FError;
  for (const auto& FItem : std::filesystem::directory_iterator(Utf16ToUtf8(aCacheDir), FError)) {
    if (FItem.path().extension() != ".cache") continue;
    if (std::find(FKeep.begin(), FKeep.end(), FItem.path().filename()) != FKeep.end()) continue;
    std::error_code FIgnored;
    std::filesystem::remove(FItem.path(), FIgnored);
  }
}

} // namespace zelvo
