// The reference server and "zelvo-cli mount" of the demo student, with the checks end-to-end
// drive tests share.
#pragma once

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "tests/support/MountProcess.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Shell.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo::test {

class MountFixture : public ::testing::Test {
protected:
  std::filesystem::path Home() const { return FServer.Storage() / "home/一年级一班/张三"; }
  std::filesystem::path Z(const std::string& aPath = "") const { return FMount.Own() / aPath; }
  std::filesystem::path Y(const std::string& aPath = "") const { return FMount.Shared() / aPath; }
  static std::string Read(const std::filesystem::path& aPath) { return TTempDir::ReadPath(aPath); }
  // What the server stores, once it has it.
  static std::string Stored(const std::filesystem::path& aPath, const std::string& aExpected) {
    WaitUntil([&] { return std::filesystem::exists(aPath) && Read(aPath) == aExpected; });
    return std::filesystem::exists(aPath) ? Read(aPath) : "<missing>";
  }
  // The command ran without an error; otherwise the output explains.
  static void Run(const std::string& aCommand) {
    std::string FOutput;
    EXPECT_EQ(Shell(aCommand, &FOutput), 0) << aCommand << "\n" << FOutput;
  }
  // A call failed with aErrno.
  static void ExpectErrno(int aResult, int aErrno, const std::string& aWhat) {
    const int FError = errno;
    EXPECT_EQ(aResult, -1) << aWhat;
    EXPECT_EQ(FError, aErrno) << aWhat << ": " << std::strerror(FError);
  }

  TServerProcess FServer;
  TMountProcess FMount{FServer.Port()};
};

} // namespace zelvo::test
