// Classes and users of the reference server, kept in an SQLite database, with the address
// sessions of the users (Sessions.h). The database file is readable by its owner only.
//
// Passwords are stored only as libsodium argon2id hashes. One connection, guarded by FLock;
// every method takes it, so the object may be used from any thread. Database failures raise
// std::runtime_error.
#pragma once

#include <cstdint>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace zelvo::server {

class TAccounts {
public:
  explicit TAccounts(const std::string& aDatabasePath); // creates the tables when missing
  TAccounts(const TAccounts&) = delete;
  TAccounts& operator=(const TAccounts&) = delete;
  ~TAccounts();

  std::vector<std::string> Classes();
  std::vector<std::string> Users(const std::string& aClass);
  bool Verify(const std::string& aClass, const std::string& aUser, const std::string& aPassword);
  // Creates the class and the user when missing; an existing user gets the new password, and
  // every session of theirs ends (a running server notices within TSessions::kCheckEvery).
  void SetPassword(const std::string& aClass, const std::string& aUser,
                   const std::string& aPassword);
  // Only for an existing user; false otherwise.
  bool ChangePassword(const std::string& aClass, const std::string& aUser,
                      const std::string& aPassword);
  bool HasUser(const std::string& aClass, const std::string& aUser);
  bool HasClass(const std::string& aClass);
  // Removes the user and every session of theirs (a running server notices within
  // TSessions::kCheckEvery); false when there was no such user. The class stays.
  bool RemoveUser(const std::string& aClass, const std::string& aUser);

  struct TStoredSession {
    std::string FAddress;
    std::string FClass;
    std::string FUser;
    int64_t FUsedSeconds = 0; // since the Unix epoch
  };
  std::vector<TStoredSession> Sessions();
  void StoreSession(const std::string& aAddress, const std::string& aClass,
                    const std::string& aUser, int64_t aUsedSeconds);
  void DropSession(const std::string& aAddress, const std::string& aClass,
                   const std::string& aUser);
  bool HasSession(const std::string& aAddress, const std::string& aClass, const std::string& aUser);

private:
  std::mutex FLock; // guards FDatabase
  sqlite3* FDatabase = nullptr;
};

} // namespace zelvo::server
