#include <gtest/gtest.h>

#include "platform/PrivateProfile.h"
#include "tests/support/TempDir.h"

namespace zelvo {
namespace {

struct TReadCase {
  std::string FContent;
  std::u16string FSection;
  std::u16string FKey;
  std::u16string FExpected;
};

TEST(PrivateProfileTest, ReadsLikeTheWindowsFunctions) {
  const TReadCase FCases[] = {
      {"[Setup]\nServerHost=10.0.0.1\n", u"Setup", u"ServerHost", u"10.0.0.1"},
      {"[setup]\nserverhost = 10.0.0.1 \n", u"Setup", u"ServerHost", u"10.0.0.1"},
      {"[Setup]\r\nServerHost=\"  a b  \"\r\n", u"Setup", u"ServerHost", u"  a b  "},
      {"[Setup]\nServerHost='x'\n", u"Setup", u"ServerHost", u"x"},
      {"[Setup]\nServerHost=\"x'\n", u"Setup", u"ServerHost", u"\"x'"},
      {"[Setup]\nServerHost=\n", u"Setup", u"ServerHost", u""},
      {"[Setup]\nServerHost\n", u"Setup", u"ServerHost", u"dflt"},
      {"[Other]\nServerHost=x\n", u"Setup", u"ServerHost", u"dflt"},
      {"[Other]\nServerHost=x\n[Setup]\nA=1\n", u"Setup", u"ServerHost", u"dflt"},
      {"[Setup]\nServerHost=a=b\n", u"Setup", u"ServerHost", u"a=b"},
      {"[Setup]\nServerHost=first\nServerHost=second\n", u"Setup", u"ServerHost", u"first"},
      {"\xEF\xBB\xBF[Setup]\nServerHost=\xE4\xB8\x80\n", u"Setup", u"ServerHost", u"一"},
      {"", u"Setup", u"ServerHost", u"dflt"},
      // An empty section or key name is a name of its own, not one that matches every name.
      {"[]\nServerHost=empty section\n[Setup]\nServerHost=x\n", u"Setup", u"ServerHost", u"x"},
      {"[Setup]\n=no key\nServerHost=x\n", u"Setup", u"ServerHost", u"x"},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FContent);
    test::TTempDir FDir;
    FDir.WriteFile("setup.ini", FCase.FContent);
    std::u16string FValue;
    const auto FCount = GetPrivateProfileStringW(FCase.FSection, FCase.FKey, u"dflt  ", FValue,
                                                 2048, FDir.Text() + u"setup.ini");
    EXPECT_EQ(FValue, FCase.FExpected);
    EXPECT_EQ(FCount, FValue.size());
  }
}

TEST(PrivateProfileTest, BufferSizeCutsTheValue) {
  test::TTempDir FDir;
  FDir.WriteFile("setup.ini", "[Setup]\nServerHost=" + std::string(3000, 'h') + "\n");
  std::u16string FValue;
  EXPECT_EQ(GetPrivateProfileStringW(u"Setup", u"ServerHost", u"", FValue, 2048,
                                     FDir.Text() + u"setup.ini"),
            2047u);
  EXPECT_EQ(FValue, std::u16string(2047, u'h'));
}

TEST(PrivateProfileTest, MissingFileGivesTheDefault) {
  test::TTempDir FDir;
  std::u16string FValue;
  GetPrivateProfileStringW(u"Setup", u"K", u"127.0.0.1", FValue, 2048, FDir.Text() + u"none.ini");
  EXPECT_EQ(FValue, u"127.0.0.1");
}

TEST(PrivateProfileTest, WritesKeepEveryOtherLine) {
  test::TTempDir FDir;
  const auto FFile = FDir.Text() + u"setup.ini";
  ASSERT_TRUE(WritePrivateProfileStringW(u"Setup", u"SysInited", u"1", FFile));
  EXPECT_EQ(FDir.ReadFile("setup.ini"), "[Setup]\nSysInited=1\n");

  FDir.WriteFile("setup.ini", "; note\n[Setup]\nServerPort = 8784\n\n[Other]\nX=1\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"setup", u"ServerHost", u"10.0.0.5|10.0.0.6", FFile));
  ASSERT_TRUE(WritePrivateProfileStringW(u"Setup", u"serverport", u"1", FFile));
  ASSERT_TRUE(WritePrivateProfileStringW(u"New", u"Y", u"二", FFile));
  EXPECT_EQ(FDir.ReadFile("setup.ini"),
            "; note\n[Setup]\nserverport=1\nServerHost=10.0.0.5|10.0.0.6\n"
            "\n[Other]\nX=1\n[New]\nY=\xE4\xBA\x8C\n");
}

TEST(PrivateProfileTest, WriteKeepsLineEndsAndByteOrderMark) {
  const std::pair<std::string, std::string> FCases[] = {
      {"[Setup]\r\nA=1\r\n", "[Setup]\r\nA=1\r\nB=2\r\n"},
      {"\xEF\xBB\xBF[Setup]\nA=1\n", "\xEF\xBB\xBF[Setup]\nA=1\nB=2\n"},
      // A second mark stays in the first line, where it was (that line is no section).
      {"\xEF\xBB\xBF\xEF\xBB\xBF[Setup]\n", "\xEF\xBB\xBF\xEF\xBB\xBF[Setup]\n[Setup]\nB=2\n"},
  };
  for (const auto& [FBefore, FAfter] : FCases) {
    test::TTempDir FDir;
    FDir.WriteFile("setup.ini", FBefore);
    ASSERT_TRUE(WritePrivateProfileStringW(u"Setup", u"B", u"2", FDir.Text() + u"setup.ini"));
    EXPECT_EQ(FDir.ReadFile("setup.ini"), FAfter);
  }
}

TEST(PrivateProfileTest, WriteBelowARegularFileFails) {
  test::TTempDir FDir;
  FDir.WriteFile("plain", "x");
  EXPECT_FALSE(WritePrivateProfileStringW(u"Setup", u"A", u"1", FDir.Text() + u"plain/setup.ini"));
  EXPECT_EQ(FDir.ReadFile("plain"), "x");
}

} // namespace
} // namespace zelvo
