// Turns one request line into the reply plan: what the connection sends or receives next.
// No sockets here: the connection carries the plan out.
//
// Replies to a missing file or a refused LIST or GET are plain closes, so the client sees a
// failed exchange. Change commands (PUT, MKDIR, DELETE, MOVE, CHGPSW) are confirmed with a text
// reply: "OK", or the outcome's short error text. Thread-safe: the storage is stateless and the
// accounts lock themselves.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "server/Accounts.h"
#include "server/Storage.h"

namespace zelvo::server {

struct TRequest {
  std::string FCommand;
  std::string FArgument; // everything after the first space
};

// None when the line is not UTF-8.
std::optional<TRequest> ParseRequestLine(std::string_view aLine);

struct TReplyPlan {
  enum class TKind {
    Close,   // no reply
    Block,   // a size-prefixed block with FData
    Listing, // a listing block with FData
    File,    // the content of FPath as a size-prefixed block
    Upload   // receive a size-prefixed block and store it at FPath
  };
  TKind FKind = TKind::Close;
  std::string FData;
  std::filesystem::path FPath;
  std::string FOutcome = "refused"; // for the log
  std::string FLogArgument;         // the argument as logged: never a password
  bool FConfirm = false;            // a change command: its outcome is sent as a text reply

  bool Succeeded() const { return FOutcome == "ok"; }
};

class TRequestHandler {
public:
  TRequestHandler(TStorage& aStorage, TAccounts& aAccounts)
      : FStorage(aStorage), FAccounts(aAccounts) {}
  TReplyPlan Handle(const TRequest& aRequest);

private:
  TReplyPlan Login(std::string_view aArgument);
  TReplyPlan ChangePassword(std::string_view aArgument);
  TReplyPlan Get(std::string_view aArgument);
  TReplyPlan Put(std::string_view aArgument);

  TStorage& FStorage;
  TAccounts& FAccounts;
};

// A text reply's data: a UTF-8 byte-order mark, then the lines, each ended by CR LF.
std::string JoinLines(const std::vector<std::string>& aLines);
// The local time as "yyyy-MM-dd hh:mm:ss.zzz".
std::string LocalTimeText();

} // namespace zelvo::server
