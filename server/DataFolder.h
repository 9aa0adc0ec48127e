// The server's data folder: "accounts.db" (classes and users) and "storage/" (the files).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "server/Accounts.h"
#include "server/Storage.h"

namespace zelvo::server {

inline constexpr char kDemoPassword[] = "zelvo123";

std::filesystem::path DatabasePath(const std::filesystem::path& aFolder);
std::filesystem::path StoragePath(const std::filesystem::path& aFolder);

// Creates what is missing of a data folder; keeps what is there.
void InitDataFolder(const std::filesystem::path& aFolder);

// Why a class or user name cannot be used, or empty when it can. Names travel inside
// space-separated request lines and become path parts.
std::string NameProblem(std::string_view aName, bool aIsClass);

// Adds the demo classes, students (all with kDemoPassword) and sample files.
void AddDemoData(TAccounts& aAccounts, const TStorage& aStorage);

} // namespace zelvo::server
