// Turns one request line into the reply plan: what the connection sends or receives next.
// No sockets here: the connection carries the plan out.
//
// LOGOUT <class> <user> ends that user's session at the caller's address ("OK", or "refused (no
// session)"); CHGPSW ends every other session of its user.
//
// Replies to a missing file or a refused LIST or GET are plain closes, so the client sees a
// failed exchange (a GET's reply is a size-prefixed block like any text, so a refusal text could
// be taken for content). Change commands (PUT, MKDIR, DELETE, MOVE, CHGPSW) are confirmed with a
// text reply: "OK" (for a PUT "OK <size> <time>", the version stored), or the outcome's short
// error text; the LOGIN reply's sixth line, "CONFIRMS 1", announces it. "LIST <full name>"
// without a wildcard answers that one entry's record, or none when there is no such file.
// "GETRANGE <offset> <length> <path>" answers part of a file with its version (RangedRead.h);
// the LOGIN reply's seventh line, "RANGES 1", announces it.
//
// The guard (unless access is open): file commands and CHGPSW need an address session of the
// user whose space they touch (Sessions.h); a refusal's outcome says "no session". LOGIN
// attempts go through the login throttle. What is logged of a request never holds a password:
// LOGIN and CHGPSW log their class and user only when the line is well formed (class, user and
// password all present) and the user exists, else "malformed" or "(unknown user)".
//
// Thread-safe: the storage is stateless, the accounts, sessions and throttle lock themselves.
// LOGIN and CHGPSW hash passwords (slow on purpose): the server runs them apart from the rest.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/Accounts.h"
#include "server/Sessions.h"
#include "server/Storage.h"

namespace zelvo::server {

struct TRequest {
  std::string FCommand;
  std::string FArgument; // everything after the first space
  std::string FAddress;  // the peer's address, without its port
};

// Commands confirmed with a text reply ("OK" or why not).
bool IsChangeCommand(std::string_view aCommand);
// Commands that hash a password.
bool HashesPassword(std::string_view aCommand);

// None when the line is not UTF-8.
std::optional<TRequest> ParseRequestLine(std::string_view aLine);

struct TReplyPlan {
  enum class TKind {
    Close,   // no reply
    Block,   // a size-prefixed block with FData
    Listing, // a listing block with FListing's content
    File,    // the content of FPath as a size-prefixed block
    Range,   // FRange of FPath with its version, as RangedRead.h says
    Upload   // receive a size-prefixed block and store it at FPath
  };
  TKind FKind = TKind::Close;
  std::string FData;
  std::filesystem::path FPath;
  struct {
    int64_t FOffset = 0;
    int64_t FLength = 0;
  } FRange;
  std::shared_ptr<const TStorage::TListingFile> FListing;
  std::string FOutcome = "refused"; // for the log
  std::string FLogArgument;         // the argument as logged: never a password
  bool FConfirm = false;            // a change command: its outcome is sent as a text reply

  bool Succeeded() const { return FOutcome == "ok"; }
};

class TRequestHandler {
public:
  // aSessions null: open access (no guard).
  TRequestHandler(TStorage& aStorage, TAccounts& aAccounts, TSessions* aSessions,
                  TLoginThrottle& aThrottle)
      : FStorage(aStorage), FAccounts(aAccounts), FSessions(aSessions), FThrottle(aThrottle) {}
  TReplyPlan Handle(const TRequest& aRequest);
  // Whether some user has a live session at aAddress (always, with open access).
  bool HasSessionAt(const std::string& aAddress) const {
    return FSessions == nullptr || FSessions->HasAt(aAddress);
  }
  // Off: no "RANGES 1" at login and GETRANGE closes, as a server without ranged reads does (to
  // compare with one, and to try clients against one). Set before serving.
  void ServeRanges(bool aServe) { FServeRanges = aServe; }

private:
  TReplyPlan Login(const TRequest& aRequest);
  TReplyPlan ChangePassword(const TRequest& aRequest);
  // "LOGOUT <class> <user>": ends that user's session at the request's address.
  TReplyPlan LogOut(const TRequest& aRequest);
  TReplyPlan FileCommand(const TRequest& aRequest);
  TReplyPlan Get(std::string_view aArgument);
  TReplyPlan GetRange(std::string_view aArgument,
                      const std::function<bool(std::string_view, TAccess)>& aReaches);
  TReplyPlan Put(std::string_view aArgument);
  // Whether the guard lets aAddress reach aServerPath for aAccess (renewing the session).
  bool Reaches(const std::string& aAddress, std::string_view aServerPath, TAccess aAccess);
  // The class and user of a LOGIN or CHGPSW line as they may be logged.
  std::string LoggedCredentials(std::string_view aClass, std::string_view aUser);

  TStorage& FStorage;
  TAccounts& FAccounts;
  TSessions* FSessions;
  TLoginThrottle& FThrottle;
  bool FServeRanges = true;
};

// A text reply's data: a UTF-8 byte-order mark, then the lines, each ended by CR LF.
std::string JoinLines(const std::vector<std::string>& aLines);
// The local time as "yyyy-MM-dd hh:mm:ss.zzz".
std::string LocalTimeText();

} // namespace zelvo::server
