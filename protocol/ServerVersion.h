// Which version of a file the server holds: its size and last-write time, as a listing record
// gives them. Two versions are the same file content only when both agree.
//
// A server that confirms changes ends a PUT with "OK <size> <yyyy-mm-dd hh:mm:ss.fffffff>" (the
// stored version, the time in UTC to the record's 100 ns), so the client knows what it just
// stored without asking again. It answers "LIST <full name>" (no wildcard) with that one entry's
// record, or with no record when there is no such file; an older server is asked for the whole
// folder and the entry is picked from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {

struct TServerVersion {
  int64_t FSize = 0;
  FILETIME FWriteTime{};
  bool operator==(const TServerVersion& aOther) const {
    return FSize == aOther.FSize && FileTimeToInt(FWriteTime) == FileTimeToInt(aOther.FWriteTime);
  }
};

// "OK <size> <time>", the confirmation of a stored upload.
std::string ConfirmationText(const TServerVersion& aVersion);
// The version a confirmation line carries; none for a plain "OK" or anything else.
std::optional<TServerVersion> ParseConfirmation(std::u16string_view aLine);

// The line a server that confirms changes adds after the fifth line of its LOGIN reply.
inline constexpr std::u16string_view kConfirmsLine = u"CONFIRMS 1";
// The refusal of an upload the server's disk has no room for (the client reports ENOSPC).
inline constexpr std::u16string_view kDiskFullRefusal = u"refused (disk full)";

// Asks the server for the entry of the file aFullName ("<folder>\<name>"): aVersion receives it,
// or none when the server has no file of that name. False when the exchange failed. aExact: the
// server answers a LIST of one full name (it confirms changes).
bool AskServerVersion(TYunClient& aClient, const std::u16string& aFullName, bool aExact,
                      std::optional<TServerVersion>& aVersion);

} // namespace zelvo
