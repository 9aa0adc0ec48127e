#include "server/Accounts.h"

#include <memory>
#include <sodium.h>
#include <stdexcept>
#include <sys/stat.h>

namespace zelvo::server {
namespace {

struct TStatementDeleter {
  void operator()(sqlite3_stmt* aStatement) const { sqlite3_finalize(aStatement); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementDeleter>;

TStatement Prepare(sqlite3* aDatabase, const char* aSql, std::initializer_list<std::string> aArgs) {
  sqlite3_stmt* FRaw = nullptr;
  if (sqlite3_prepare_v2(aDatabase, aSql, -1, &FRaw, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(aDatabase));
  TStatement FStatement(FRaw);
  int FIndex = 1;
  for (const auto& FArg : aArgs)
    sqlite3_bind_text(FRaw, FIndex++, FArg.data(), static_cast<int>(FArg.size()), SQLITE_TRANSIENT);
  return FStatement;
}

std::vector<std::string> Column(TStatement aStatement) {
  std::vector<std::string> FValues;
  while (sqlite3_step(aStatement.get()) == SQLITE_ROW)
    FValues.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(aStatement.get(), 0)));
  return FValues;
}

void Run(sqlite3* aDatabase, const char* aSql, std::initializer_list<std::string> aArgs = {}) {
  const auto FStatement = Prepare(aDatabase, aSql, aArgs);
  if (sqlite3_step(FStatement.get()) != SQLITE_DONE)
    throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(aDatabase));
}

std::string HashPassword(const std::string& aPassword) {
  char FHash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(FHash, aPassword.data(), aPassword.size(),
                            crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("out of memory while hashing a password");
  return FHash;
}

} // namespace

TAccounts::TAccounts(const std::string& aDatabasePath) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  if (sqlite3_open(aDatabasePath.c_str(), &FDatabase) != SQLITE_OK) {
    const std::string FMessage = sqlite3_errmsg(FDatabase);
    sqlite3_close(FDatabase);
    throw std::runtime_error("database " + aDatabasePath + ": " + FMessage);
  }
  sqlite3_busy_timeout(FDatabase, 5000);
  Run(FDatabase, "CREATE TABLE IF NOT EXISTS classes (name TEXT PRIMARY KEY)");
  Run(FDatabase, "CREATE TABLE IF NOT EXISTS users (class TEXT NOT NULL, name TEXT NOT NULL, "
                 "hash TEXT NOT NULL, PRIMARY KEY (class, name))");
  Run(FDatabase, "CREATE TABLE IF NOT EXISTS sessions (address TEXT NOT NULL, class TEXT NOT NULL, "
                 "name TEXT NOT NULL, used INTEGER NOT NULL, PRIMARY KEY (address, class, name))");
  ::chmod(aDatabasePath.c_str(), 0600); // hashes and sessions are nobody else's business
}

TAccounts::~TAccounts() {
  sqlite3_close(FDatabase);
}

std::vector<std::string> TAccounts::Classes() {
  std::lock_guard FGuard(FLock);
  return Column(Prepare(FDatabase, "SELECT name FROM classes ORDER BY rowid", {}));
}

std::vector<std::string> TAccounts::Users(const std::string& aClass) {
  std::lock_guard FGuard(FLock);
  return Column(
      Prepare(FDatabase, "SELECT name FROM users WHERE class = ? ORDER BY rowid", {aClass}));
}

bool TAccounts::Verify(const std::string& aClass, const std::string& aUser,
                       const std::string& aPassword) {
  std::vector<std::string> FHashes;
  {
    std::lock_guard FGuard(FLock);
    FHashes = Column(
        Prepare(FDatabase, "SELECT hash FROM users WHERE class = ? AND name = ?", {aClass, aUser}));
  }
  // The check runs outside the lock: it is slow on purpose.
  return FHashes.size() == 1 &&
         crypto_pwhash_str_verify(FHashes[0].c_str(), aPassword.data(), aPassword.size()) == 0;
}

void TAccounts::SetPassword(const std::string& aClass, const std::string& aUser,
                            const std::string& aPassword) {
  const std::string FHash = HashPassword(aPassword);
  std::lock_guard FGuard(FLock);
  Run(FDatabase, "INSERT OR IGNORE INTO classes (name) VALUES (?)", {aClass});
  Run(FDatabase,
      "INSERT INTO users (class, name, hash) VALUES (?, ?, ?) "
      "ON CONFLICT (class, name) DO UPDATE SET hash = excluded.hash",
      {aClass, aUser, FHash});
  Run(FDatabase, "DELETE FROM sessions WHERE class = ? AND name = ?", {aClass, aUser});
}

bool TAccounts::ChangePassword(const std::string& aClass, const std::string& aUser,
                               const std::string& aPassword) {
  const std::string FHash = HashPassword(aPassword);
  std::lock_guard FGuard(FLock);
  Run(FDatabase, "UPDATE users SET hash = ? WHERE class = ? AND name = ?", {FHash, aClass, aUser});
  return sqlite3_changes(FDatabase) == 1;
}

bool TAccounts::HasUser(const std::string& aClass, const std::string& aUser) {
  std::lock_guard FGuard(FLock);
  return !Column(Prepare(FDatabase, "SELECT name FROM users WHERE class = ? AND name = ?",
                         {aClass, aUser}))
              .empty();
}

bool TAccounts::HasClass(const std::string& aClass) {
  std::lock_guard FGuard(FLock);
  return !Column(Prepare(FDatabase, "SELECT name FROM classes WHERE name = ?", {aClass})).empty();
}

bool TAccounts::RemoveUser(const std::string& aClass, const std::string& aUser) {
  std::lock_guard FGuard(FLock);
  Run(FDatabase, "DELETE FROM users WHERE class = ? AND name = ?", {aClass, aUser});
  const bool FRemoved = sqlite3_changes(FDatabase) == 1;
  Run(FDatabase, "DELETE FROM sessions WHERE class = ? AND name = ?", {aClass, aUser});
  return FRemoved;
}

std::vector<TAccounts::TStoredSession> TAccounts::Sessions() {
  std::lock_guard FGuard(FLock);
  const auto FStatement = Prepare(FDatabase, "SELECT address, class, name, used FROM sessions", {});
  std::vector<TStoredSession> FSessions;
  const auto FText = [&](int aColumn) {
    return std::string(
        reinterpret_cast<const char*>(sqlite3_column_text(FStatement.get(), aColumn)));
  };
  while (sqlite3_step(FStatement.get()) == SQLITE_ROW)
    FSessions.push_back({FText(0), FText(1), FText(2), sqlite3_column_int64(FStatement.get(), 3)});
  return FSessions;
}

void TAccounts::StoreSession(const std::string& aAddress, const std::string& aClass,
                             const std::string& aUser, int64_t aUsedSeconds) {
  std::lock_guard FGuard(FLock);
  Run(FDatabase,
      "INSERT INTO sessions (address, class, name, used) VALUES (?, ?, ?, CAST(? AS INTEGER)) "
      "ON CONFLICT (address, class, name) DO UPDATE SET used = excluded.used",
      {aAddress, aClass, aUser, std::to_string(aUsedSeconds)});
}

void TAccounts::DropSession(const std::string& aAddress, const std::string& aClass,
                            const std::string& aUser) {
  std::lock_guard FGuard(FLock);
  Run(FDatabase, "DELETE FROM sessions WHERE address = ? AND class = ? AND name = ?",
      {aAddress, aClass, aUser});
}

bool TAccounts::HasSession(const std::string& aAddress, const std::string& aClass,
                           const std::string& aUser) {
  std::lock_guard FGuard(FLock);
  return !Column(Prepare(FDatabase,
                         "SELECT name FROM sessions WHERE address = ? AND class = ? AND name = ?",
                         {aAddress, aClass, aUser}))
              .empty();
}

} // namespace zelvo::server
