// A facade over the demo data of a real server, set as the process-wide facade reference, and
// per-open file information records as the library would hand them over.
#pragma once

#include <gtest/gtest.h>
#include <memory>

#include "common/Globals.h"
#include "drive/FileSystem.h"
#include "drive/YunDiskUnit.h"
#include "tests/support/FakeServer.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo::test {

// A session with the server at aPort: the demo student's, changes given up kept beside the
// cache (never in the real user's folder).
inline TMountConfig MountConfig(uint16_t aPort, const std::u16string& aCacheDir) {
  return {u"127.0.0.1", aPort, 5000, aCacheDir, 30, u"张三", false, aCacheDir + u"recovered/"};
}

// The facade of a session with the server at aPort over the two roots, as the process-wide
// facade reference; aOptions get the roots' indexes.
inline std::unique_ptr<TFileSystem> StartFacade(uint16_t aPort, const std::u16string& aCacheDir,
                                                const std::u16string& aRoot0,
                                                const std::u16string& aRoot1,
                                                DOKAN_OPTIONS (&aOptions)[2]) {
  auto FFacade = std::make_unique<TFileSystem>(MountConfig(aPort, aCacheDir), aRoot0, aRoot1);
  FileSystem = FFacade.get();
  for (int i = 0; i < 2; ++i)
    aOptions[i]._RootIndex = i;
  return FFacade;
}

class DriveTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LogIn(FServer.Port(), "一年级一班", "张三")); // the server's session for 127.0.0.1
    FFacade = StartFacade(FServer.Port(), FCacheDir.Text(), u"\\home\\一年级一班\\张三",
                          u"\\share\\一年级一班", FOptions);
  }
  void TearDown() override { FileSystem = nullptr; }

  // A fresh per-open record for drive aRoot.
  DOKAN_FILE_INFO Info(int aRoot = 0) {
    DOKAN_FILE_INFO FInfo;
    FInfo.DokanOptions = &FOptions[aRoot];
    return FInfo;
  }
  // Opens as the library does for an existing file or folder; the context holds the handle.
  NTSTATUS Open(const std::u16string& aPath, DOKAN_FILE_INFO& aInfo,
                uint32_t aDisposition = FILE_OPEN, uint32_t aOptions = 0,
                uint32_t aAttributes = FILE_ATTRIBUTE_NORMAL) {
    return ZwCreateFile(aPath.c_str(), nullptr, FILE_GENERIC_READ | FILE_GENERIC_WRITE, aAttributes,
                        FILE_SHARE_READ, aDisposition, aOptions, &aInfo);
  }
  std::string Stored(const std::string& aPath) {
    return TTempDir::ReadPath(FServer.Storage() / "home/一年级一班/张三" / aPath);
  }
  bool StoredIs(const std::string& aPath, const std::string& aContent) {
    return WaitUntil([&] {
      return std::filesystem::exists(FServer.Storage() / "home/一年级一班/张三" / aPath) &&
             Stored(aPath) == aContent;
    });
  }

  TServerProcess FServer;
  TTempDir FCacheDir;
  std::unique_ptr<TFileSystem> FFacade;
  DOKAN_OPTIONS FOptions[2];
};

} // namespace zelvo::test
