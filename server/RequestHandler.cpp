#include "server/RequestHandler.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TextCodec.h"
#include "protocol/RangedRead.h"
#include "protocol/ServerVersion.h"

namespace zelvo::server {
namespace {

// Splits off the first aSeparator-separated word: (word, rest).
std::pair<std::string_view, std::string_view> NextWord(std::string_view aText,
                                                       char aSeparator = ' ') {
  const auto FAt = aText.find(aSeparator);
  if (FAt == std::string_view::npos) return {aText, {}};
  return {aText.substr(0, FAt), aText.substr(FAt + 1)};
}

TReplyPlan Outcome(bool aOk, std::string_view aArgument) {
  TReplyPlan FPlan;
  FPlan.FOutcome = aOk ? "ok" : "refused";
  FPlan.FLogArgument = aArgument;
  return FPlan;
}

TReplyPlan BlockReply(std::string aData, std::string_view aArgument) {
  TReplyPlan FPlan = Outcome(true, aArgument);
  FPlan.FKind = TReplyPlan::TKind::Block;
  FPlan.FData = std::move(aData);
  return FPlan;
}

TReplyPlan Confirmed(bool aOk, std::string_view aArgument) {
  TReplyPlan FPlan = Outcome(aOk, aArgument);
  FPlan.FConfirm = true;
  return FPlan;
}

} // namespace

std::optional<TRequest> ParseRequestLine(std::string_view aLine) {
  if (!IsValidUtf8(aLine)) return std::nullopt;
  const auto [FCommand, FArgument] = NextWord(aLine);
  return TRequest{std::string(FCommand), std::string(FArgument)};
}

std::string JoinLines(const std::vector<std::string>& aLines) {
  // The byte-order mark makes every client read UTF-8, whatever its legacy code page.
  std::string FText = "\xEF\xBB\xBF";
  for (const auto& FLine : aLines)
    FText += FLine + "\r\n";
  return FText;
}

std::string LocalTimeText() {
  const auto FNow = std::chrono::system_clock::now();
  const std::time_t FSeconds = std::chrono::system_clock::to_time_t(FNow);
  const auto FMillis =
      std::chrono::duration_cast<std::chrono::milliseconds>(FNow.time_since_epoch()).count() % 1000;
  std::tm FLocal{};
  localtime_r(&FSeconds, &FLocal);
  char FText[32];
  std::strftime(FText, sizeof FText, "%Y-%m-%d %H:%M:%S", &FLocal);
  return FText + ("." + std::to_string(1000 + FMillis).substr(1));
}

bool IsChangeCommand(std::string_view aCommand) {
  return aCommand == "PUT" || aCommand == "MKDIR" || aCommand == "DELETE" || aCommand == "MOVE" ||
         aCommand == "CHGPSW" || aCommand == "LOGOUT";
}

bool HashesPassword(std::string_view aCommand) {
  return aCommand == "LOGIN" || aCommand == "CHGPSW";
}

TReplyPlan TRequestHandler::Handle(const TRequest& aRequest) {
  const std::string& FCommand = aRequest.FCommand;
  if (FCommand == "GLIST") return BlockReply(JoinLines(FAccounts.Classes()), "");
  if (FCommand == "ULIST")
    return BlockReply(JoinLines(FAccounts.Users(aRequest.FArgument)), aRequest.FArgument);
  if (FCommand == "LOGIN") return Login(aRequest);
  if (FCommand == "CHGPSW") return ChangePassword(aRequest);
  if (FCommand == "LOGOUT") return LogOut(aRequest);
  return FileCommand(aRequest);
}

TReplyPlan TRequestHandler::LogOut(const TRequest& aRequest) {
  const auto [FClass, FUser] = NextWord(aRequest.FArgument);
  if (FClass.empty() || FUser.empty()) return Confirmed(false, "malformed");
  TReplyPlan FPlan = Confirmed(true, LoggedCredentials(FClass, FUser));
  if (FSessions && !FSessions->End(aRequest.FAddress, std::string(FClass), std::string(FUser)))
    FPlan.FOutcome = "refused (no session)";
  return FPlan;
}

TReplyPlan TRequestHandler::FileCommand(const TRequest& aRequest) {
  const std::string& FCommand = aRequest.FCommand;
  const std::string_view FArgument = aRequest.FArgument;
  const auto FReaches = [&](std::string_view aPath, TAccess aAccess) {
    return Reaches(aRequest.FAddress, aPath, aAccess);
  };
  const auto FNoSession = [&](TReplyPlan aPlan) {
    aPlan.FOutcome = "refused (no session)";
    return aPlan;
  };
  if (FCommand == "GET")
    return FReaches(FArgument, TAccess::Read) ? Get(FArgument)
                                              : FNoSession(Outcome(false, FArgument));
  if (FCommand == "GETRANGE" && FServeRanges) return GetRange(FArgument, FReaches);
  if (FCommand == "PUT") {
    if (FReaches(FArgument, TAccess::Change)) return Put(FArgument);
    TReplyPlan FPlan = FNoSession(Confirmed(false, FArgument));
    FPlan.FKind = TReplyPlan::TKind::Upload; // read to its end, then refused
    return FPlan;
  }
  if (FCommand == "LIST") {
    if (!FReaches(FArgument, TAccess::Read)) return FNoSession(Outcome(false, FArgument));
    std::shared_ptr<const TStorage::TListingFile> FListing = FStorage.ListToFile(FArgument);
    if (!FListing) return Outcome(false, FArgument);
    if (FListing->FTooMany) {
      TReplyPlan FPlan = BlockReply(JoinLines({"refused (too many entries)"}), FArgument);
      FPlan.FOutcome = "refused (more than 1000000 entries)";
      return FPlan;
    }
    TReplyPlan FPlan = Outcome(true, FArgument);
    FPlan.FKind = TReplyPlan::TKind::Listing;
    FPlan.FListing = std::move(FListing);
    return FPlan;
  }
  if (FCommand == "MOVE") {
    const auto [FFrom, FTo] = NextWord(FArgument, '|');
    // A line without "|" is refused by the storage as malformed, not as unreachable.
    if (!FReaches(FFrom, TAccess::Change) || (!FTo.empty() && !FReaches(FTo, TAccess::Change)))
      return FNoSession(Confirmed(false, FArgument));
    return Confirmed(FStorage.Move(FArgument), FArgument);
  }
  if (FCommand == "DELETE" || FCommand == "MKDIR") {
    if (!FReaches(FArgument, TAccess::Change)) return FNoSession(Confirmed(false, FArgument));
    return Confirmed(FCommand == "DELETE" ? FStorage.Delete(FArgument)
                                          : FStorage.MakeDirectory(FArgument),
                     FArgument);
  }
  return Outcome(false, "(unknown command)");
}

bool TRequestHandler::Reaches(const std::string& aAddress, std::string_view aServerPath,
                              TAccess aAccess) {
  if (FSessions == nullptr) return true;
  const auto FPlace = TStorage::PlaceOf(aServerPath);
  if (!FPlace) return false;
  if (FPlace->FShare)
    return aAccess == TAccess::Read && FSessions->UseClass(aAddress, FPlace->FClass);
  return FSessions->Use(aAddress, FPlace->FClass, FPlace->FUser);
}

std::string TRequestHandler::LoggedCredentials(std::string_view aClass, std::string_view aUser) {
  // A user name that is no user may be a mistyped password: it stays out of the log.
  const std::string FClass(aClass);
  return FAccounts.HasUser(FClass, std::string(aUser)) ? FClass + " " + std::string(aUser)
                                                       : FClass + " (unknown user)";
}

// "LOGIN class user password": the password is the rest of the line, blanks included.
TReplyPlan TRequestHandler::Login(const TRequest& aRequest) {
  const auto [FClass, FRest] = NextWord(aRequest.FArgument);
  const auto [FUser, FPassword] = NextWord(FRest);
  TReplyPlan FPlan = BlockReply("", "malformed"); // an empty reply: wrong credentials
  FPlan.FOutcome = "wrong credentials";
  if (FClass.empty() || FUser.empty() || FPassword.empty()) return FPlan;
  const std::string FClassText(FClass);
  const std::string FUserText(FUser);
  const std::string FUserKey = FClassText + "/" + FUserText;
  FPlan.FLogArgument = LoggedCredentials(FClass, FUser);
  const auto FNow = TLoginThrottle::TClock::now();
  if (const auto FPaused = FThrottle.Paused(aRequest.FAddress, FUserKey, FNow); FPaused.count()) {
    FPlan.FOutcome =
        "refused (login attempts paused for " + std::to_string(FPaused.count()) + " s)";
    FPlan.FData = JoinLines({FPlan.FOutcome}); // one line: not a login, and it says why
    return FPlan;
  }
  if (!FAccounts.Verify(FClassText, FUserText, std::string(FPassword))) {
    if (const auto FPause = FThrottle.Failed(aRequest.FAddress, FUserKey, FNow); FPause.count())
      FPlan.FOutcome += "; further attempts paused for " + std::to_string(FPause.count()) + " s";
    return FPlan;
  }
  FThrottle.Succeeded(aRequest.FAddress, FUserKey, FNow);
  if (FSessions) FSessions->Open(aRequest.FAddress, FClassText, FUserText);
  FStorage.EnsureRoots(FClass, FUser);
  // The sixth line tells clients that know it that every change is confirmed, the seventh that
  // ranged reads are served; others read five.
  std::vector<std::string> FLines{"\\home\\" + FClassText + "\\" + FUserText,
                                  "\\share\\" + FClassText,
                                  FUserText,
                                  FClassText + "共享空间",
                                  LocalTimeText(),
                                  Utf16ToUtf8(kConfirmsLine)};
  if (FServeRanges) FLines.push_back(Utf16ToUtf8(kRangesLine));
  return BlockReply(JoinLines(FLines), FPlan.FLogArgument);
}

// "CHGPSW class(host) user password": the class item carries its "(host)" suffix. Only a user
// with a session at the request's address changes a password.
TReplyPlan TRequestHandler::ChangePassword(const TRequest& aRequest) {
  const auto [FItem, FRest] = NextWord(aRequest.FArgument);
  const auto [FUser, FPassword] = NextWord(FRest);
  const std::string FClass(FItem.substr(0, FItem.find('(')));
  if (FClass.empty() || FUser.empty() || FPassword.empty()) return Confirmed(false, "malformed");
  TReplyPlan FPlan = Confirmed(false, LoggedCredentials(FClass, FUser));
  const std::string FUserText(FUser);
  if (FSessions && !FSessions->Use(aRequest.FAddress, FClass, FUserText)) {
    FPlan.FOutcome = "refused (no session)";
    return FPlan;
  }
  if (!FAccounts.ChangePassword(FClass, FUserText, std::string(FPassword))) return FPlan;
  FPlan.FOutcome = "ok";
  // Whoever else had the old password loses what it gave them.
  if (FSessions) FSessions->EndOthers(FClass, FUserText, aRequest.FAddress);
  return FPlan;
}

TReplyPlan TRequestHandler::Get(std::string_view aArgument) {
  const auto FPath = FStorage.Resolve(aArgument, TAccess::Read);
  struct stat FStat {};
  if (!FPath || ::stat(FPath->c_str(), &FStat) != 0 || !S_ISREG(FStat.st_mode))
    return Outcome(false, aArgument);
  TReplyPlan FPlan = Outcome(true, aArgument);
  FPlan.FKind = TReplyPlan::TKind::File;
  FPlan.FPath = *FPath;
  return FPlan;
}

// "GETRANGE <offset> <length> <path>": the server sends the bytes from the file itself.
TReplyPlan
TRequestHandler::GetRange(std::string_view aArgument,
                          const std::function<bool(std::string_view, TAccess)>& aReaches) {
  const auto [FOffsetText, FRest] = NextWord(aArgument);
  const auto [FLengthText, FPathText] = NextWord(FRest);
  int64_t FOffset = -1;
  int64_t FLength = 0;
  std::from_chars(FOffsetText.data(), FOffsetText.data() + FOffsetText.size(), FOffset);
  std::from_chars(FLengthText.data(), FLengthText.data() + FLengthText.size(), FLength);
  if (FOffset < 0 || FLength <= 0 || FLength > kMaxRangeLength) return Outcome(false, aArgument);
  if (!aReaches(FPathText, TAccess::Read)) {
    TReplyPlan FPlan = Outcome(false, aArgument);
    FPlan.FOutcome = "refused (no session)";
    return FPlan;
  }
  TReplyPlan FPlan = Get(FPathText);
  FPlan.FLogArgument = aArgument;
  if (!FPlan.Succeeded()) return FPlan;
  FPlan.FKind = TReplyPlan::TKind::Range;
  FPlan.FRange = {FOffset, FLength};
  return FPlan;
}

TReplyPlan TRequestHandler::Put(std::string_view aArgument) {
  // A refused upload is still read to its end, so the client hears the refusal instead of a
  // broken connection.
  const auto FPath = FStorage.Resolve(aArgument, TAccess::Change);
  TReplyPlan FPlan = Confirmed(FPath.has_value(), aArgument);
  FPlan.FKind = TReplyPlan::TKind::Upload;
  if (FPath) FPlan.FPath = *FPath;
  return FPlan;
}

} // namespace zelvo::server
