#include "server/RequestHandler.h"

#include <chrono>
#include <ctime>
#include <sys/stat.h>

#include "common/TextCodec.h"

namespace zelvo::server {
namespace {

// Splits off the first space-separated word: (word, rest).
std::pair<std::string_view, std::string_view> NextWord(std::string_view aText) {
  const auto FSpace = aText.find(' ');
  if (FSpace == std::string_view::npos) return {aText, {}};
  return {aText.substr(0, FSpace), aText.substr(FSpace + 1)};
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

TReplyPlan TRequestHandler::Handle(const TRequest& aRequest) {
  const std::string_view FArgument = aRequest.FArgument;
  const std::string& FCommand = aRequest.FCommand;
  if (FCommand == "GLIST") return BlockReply(JoinLines(FAccounts.Classes()), "");
  if (FCommand == "ULIST")
    return BlockReply(JoinLines(FAccounts.Users(aRequest.FArgument)), FArgument);
  if (FCommand == "LOGIN") return Login(FArgument);
  if (FCommand == "CHGPSW") return ChangePassword(FArgument);
  if (FCommand == "GET") return Get(FArgument);
  if (FCommand == "PUT") return Put(FArgument);
  if (FCommand == "LIST") {
    auto FRecords = FStorage.List(FArgument);
    if (!FRecords) return Outcome(false, FArgument);
    TReplyPlan FPlan = Outcome(true, FArgument);
    FPlan.FKind = TReplyPlan::TKind::Listing;
    FPlan.FData = std::move(*FRecords);
    return FPlan;
  }
  if (FCommand == "DELETE") return Confirmed(FStorage.Delete(FArgument), FArgument);
  if (FCommand == "MOVE") return Confirmed(FStorage.Move(FArgument), FArgument);
  if (FCommand == "MKDIR") return Confirmed(FStorage.MakeDirectory(FArgument), FArgument);
  return Outcome(false, "(unknown command)");
}

// "LOGIN class user password": the password is the rest of the line, blanks included.
TReplyPlan TRequestHandler::Login(std::string_view aArgument) {
  const auto [FClass, FRest] = NextWord(aArgument);
  const auto [FUser, FPassword] = NextWord(FRest);
  const std::string FLogArgument = std::string(FClass) + " " + std::string(FUser);
  if (FClass.empty() || FUser.empty() ||
      !FAccounts.Verify(std::string(FClass), std::string(FUser), std::string(FPassword))) {
    TReplyPlan FPlan = BlockReply("", FLogArgument);
    FPlan.FOutcome = "wrong credentials";
    return FPlan;
  }
  FStorage.EnsureRoots(FClass, FUser);
  const std::string FClassText(FClass);
  const std::string FUserText(FUser);
  return BlockReply(JoinLines({"\\home\\" + FClassText + "\\" + FUserText, "\\share\\" + FClassText,
                               FUserText, FClassText + "共享空间", LocalTimeText()}),
                    FLogArgument);
}

// "CHGPSW class(host) user password": the class item carries its "(host)" suffix.
TReplyPlan TRequestHandler::ChangePassword(std::string_view aArgument) {
  const auto [FItem, FRest] = NextWord(aArgument);
  const auto [FUser, FPassword] = NextWord(FRest);
  const std::string FClass(FItem.substr(0, FItem.find('(')));
  const bool FOk = !FPassword.empty() &&
                   FAccounts.ChangePassword(FClass, std::string(FUser), std::string(FPassword));
  return Confirmed(FOk, FClass + " " + std::string(FUser));
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
