#include "tree/PendingJournal.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

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

} // namespace

TPendingJournal& PendingChanges() {
  // Never destroyed: a drive's retry thread may still use it while the process exits.
  static auto* FJournal = new TPendingJournal;
  return *FJournal;
}

void TPendingJournal::Open(const std::u16string& aCacheDir) {
  std::lock_guard FGuard(FLock);
  FPath = std::filesystem::path(Utf16ToUtf8(aCacheDir)) / kJournalName;
  FEntries.clear();
  std::ifstream FFile(FPath, std::ios::binary);
  std::string FLine;
  while (std::getline(FFile, FLine)) {
    const auto FParts = Fields(FLine);
    if (FParts.size() != 3 && FParts.size() != 5) continue;
    TPendingEntry FEntry{Unescape(FParts[0]), Unescape(FParts[1]), Unescape(FParts[2])};
    int64_t FSize = 0;
    int64_t FTime = 0;
    if (FParts.size() == 5 &&
        std::from_chars(FParts[3].data(), FParts[3].data() + FParts[3].size(), FSize).ec ==
            std::errc() &&
        std::from_chars(FParts[4].data(), FParts[4].data() + FParts[4].size(), FTime).ec ==
            std::errc())
      FEntry.FBase = TServerVersion{FSize, FileTimeFromInt(FTime)};
    FEntries.push_back(std::move(FEntry));
  }
}

void TPendingJournal::SaveLocked() const {
  if (FPath.empty()) return;
  std::ostringstream FText;
  for (const auto& FEntry : FEntries) {
    FText << Escape(FEntry.FServer) << '\t' << Escape(FEntry.FFullName) << '\t'
          << Escape(FEntry.FCacheFile);
    if (FEntry.FBase)
      FText << '\t' << FEntry.FBase->FSize << '\t' << FileTimeToInt(FEntry.FBase->FWriteTime);
    FText << '\n';
  }
  const auto FTemp = FPath.string() + ".new";
  {
    std::ofstream FFile(FTemp, std::ios::binary | std::ios::trunc);
    FFile << FText.str();
    FFile.flush();
    if (!FFile) {
      std::cerr << "zelvo: the pending-changes journal " << FPath << " could not be written\n";
      return;
    }
  }
  std::error_code FError;
  std::filesystem::rename(FTemp, FPath, FError);
  if (FError)
    std::cerr << "zelvo: the pending-changes journal " << FPath << ": " << FError.message() << '\n';
}

void TPendingJournal::Add(const TPendingEntry& aEntry) {
  std::lock_guard FGuard(FLock);
  const auto FSame = std::find_if(FEntries.begin(), FEntries.end(), [&](const TPendingEntry& aOld) {
    return aOld.FServer == aEntry.FServer && aOld.FFullName == aEntry.FFullName;
  });
  if (FSame != FEntries.end() && *FSame == aEntry) return;
  if (FSame != FEntries.end())
    *FSame = aEntry;
  else
    FEntries.push_back(aEntry);
  SaveLocked();
}

void TPendingJournal::Remove(const std::u16string& aServer, const std::u16string& aFullName) {
  std::lock_guard FGuard(FLock);
  const auto FOld = std::erase_if(FEntries, [&](const TPendingEntry& aEntry) {
    return aEntry.FServer == aServer && aEntry.FFullName == aFullName;
  });
  if (FOld > 0) SaveLocked();
}

bool TPendingJournal::Contains(const std::u16string& aServer,
                               const std::u16string& aFullName) const {
  std::lock_guard FGuard(FLock);
  return std::any_of(FEntries.begin(), FEntries.end(), [&](const TPendingEntry& aEntry) {
    return aEntry.FServer == aServer && aEntry.FFullName == aFullName;
  });
}

std::vector<TPendingEntry>
TPendingJournal::EntriesBelow(const std::u16string& aServer,
                              const std::vector<std::u16string>& aRoots) const {
  std::lock_guard FGuard(FLock);
  std::vector<TPendingEntry> FFound;
  for (const auto& FEntry : FEntries)
    if (FEntry.FServer == aServer &&
        std::any_of(aRoots.begin(), aRoots.end(),
                    [&](const std::u16string& aRoot) { return Below(FEntry.FFullName, aRoot); }))
      FFound.push_back(FEntry);
  return FFound;
}

std::vector<TPendingEntry> TPendingJournal::Entries() const {
  std::lock_guard FGuard(FLock);
  return FEntries;
}

std::u16string TPendingJournal::PendingFileName(const std::u16string& aCacheDir,
                                                const std::u16string& aServer,
                                                const std::u16string& aFullName) {
  // FNV-1a over both texts: a stable name for the same file in every run.
  uint64_t FHash = 14695981039346656037ull;
  for (const char FChar : Utf16ToUtf8(aServer + u'\n' + aFullName)) {
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
