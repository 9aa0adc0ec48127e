#include <gtest/gtest.h>

#include "common/Streams.h"
#include "tests/support/TempDir.h"

namespace zelvo {
namespace {

// The same behaviour from both stream kinds.
template <typename TMaker>
void ExpectStreamBehaviour(TMaker aMake) {
  auto FStream = aMake();
  EXPECT_EQ(FStream->Write("hello", 5), 5);
  EXPECT_EQ(FStream->GetSize(), 5);
  FStream->SetPosition(8);
  EXPECT_EQ(FStream->Write("!", 1), 1);
  EXPECT_EQ(FStream->GetSize(), 9);
  FStream->SetPosition(0);
  char FBuffer[16] = {};
  EXPECT_EQ(FStream->Read(FBuffer, 16), 9);
  EXPECT_EQ(std::string(FBuffer, 9), std::string("hello\0\0\0!", 9));
  EXPECT_EQ(FStream->Read(FBuffer, 16), 0);
  EXPECT_TRUE(FStream->SetSize(2));
  FStream->SetPosition(0);
  EXPECT_EQ(FStream->Read(FBuffer, 16), 2);
}

TEST(StreamsTest, MemoryStream) {
  ExpectStreamBehaviour([] { return std::make_unique<TMemoryStream>(); });
}

TEST(StreamsTest, FileStream) {
  test::TTempDir FDir;
  ExpectStreamBehaviour([&] {
    return std::make_unique<TFileStream>(FDir.Text() + u"f.cache", TFileStream::TMode::Create);
  });
}

TEST(StreamsTest, FileStreamErrorsNameTheFile) {
  test::TTempDir FDir;
  try {
    TFileStream FStream(FDir.Text() + u"missing/f", TFileStream::TMode::Create);
    FAIL() << "no error";
  } catch (const EFileStreamError& aError) {
    EXPECT_EQ(std::string(aError.what()), "Cannot create file \"" + FDir.Path().string() +
                                              "/missing/f\". No such file or directory");
  }
  EXPECT_THROW(TFileStream(FDir.Text() + u"nothing", TFileStream::TMode::OpenRead),
               EFileStreamError);
}

TEST(StreamsTest, MemoryStreamPreparesNothing) {
  TMemoryStream FStream;
  EXPECT_TRUE(FStream.PrepareSize(0x7FFFFFFF));
  EXPECT_EQ(FStream.GetSize(), 0);
}

} // namespace
} // namespace zelvo
