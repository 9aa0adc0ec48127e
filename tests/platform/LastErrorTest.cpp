#include <gtest/gtest.h>
#include <thread>

#include "platform/LastError.h"

namespace zelvo {
namespace {

TEST(LastErrorTest, EachThreadHasItsOwnSlot) {
  SetLastError(183);
  uint32_t FOther = 1;
  std::thread([&] {
    FOther = GetLastError();
    SetLastError(5);
  }).join();
  EXPECT_EQ(FOther, 0u);
  EXPECT_EQ(GetLastError(), 183u);
}

} // namespace
} // namespace zelvo
