// Logging in and starting the drives, shared by the login window and zelvo-cli.
// Window thread (or the tool's main thread) only; the requests are synchronous.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drive/YunDiskUnit.h"
#include "tree/MountConfig.h"

namespace zelvo {

enum class TLoginResult {
  Unreachable, // the exchange failed: nothing happens
  Invalid,     // the reply broke its bounds: "服务器回复无效"
  Refused,     // fewer than five lines: "班级、姓名或密码错误！"
  LoggedIn     // Root0, Root1, OwnerName, ShareVolumeName are set
};

inline constexpr char16_t kWrongLogin[] = u"班级、姓名或密码错误！";
inline constexpr char16_t kInvalidReply[] = u"服务器回复无效";

// Sends "LOGIN class user password" to CurrentServerHost. On success aServerTime receives the
// fifth reply line.
TLoginResult LoginToServer(const std::u16string& aClassName, const std::u16string& aUserName,
                           const std::u16string& aPassword, std::u16string& aServerTime);

struct TDrives {
  std::unique_ptr<TYunDiskThread> FOwn;    // root 0, writable
  std::unique_ptr<TYunDiskThread> FShared; // root 1, write-protected
};

// The mount of the logged-in session, from the settings and the LOGIN reply.
TMountConfig CurrentMountConfig();

// Creates the facade over Root0 and Root1 (fetching their listings), makes it the facade
// reference, and starts the two mount threads. The facade lives until the process ends.
TDrives MountYunDisks(const std::u16string& aOwnMountPoint = u"Z:",
                      const std::u16string& aSharedMountPoint = u"Y:");

// Takes the shared drive down, then the own one, and returns when their threads have ended (a
// drive still being mounted is taken down once it is up). Exchanges still under way after
// kUnmountGrace are cancelled (a change not sent stays pending), and every one left once the
// drives are down, so the program ends promptly whatever the server does.
// Then the session is ended on the server (LOGOUT, each wait at most kLogoutTimeOutMs).
inline constexpr std::chrono::seconds kUnmountGrace{2};
inline constexpr int32_t kLogoutTimeOutMs = 1000;
void UnmountYunDisks(TDrives& aDrives);

// After the drives are down: ends the retries of pending changes, removes the cache files that
// hold nothing pending, and returns the drive paths of the files still pending (sent at the next
// login of this student on this machine), with "/" separators.
std::vector<std::u16string> SettlePendingChanges();

} // namespace zelvo
