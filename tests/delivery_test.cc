#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "delivery/id_line.h"

namespace {

std::string line(ID_t id) {
  char s[kLineBufferSize];
  const int n = make_id_str(s, sizeof s, id);
  EXPECT_EQ(n, static_cast<int>(std::strlen(s)));
  return s;
}

TEST(IdLine, Fields) {
  EXPECT_EQ(line({42, 7000, 'O', 12, -3}), "42.07000 O 12 -3\r\n");
  EXPECT_EQ(line({0, 0, 'D', 0, 0}), "0.00000 D 0 0\r\n");
  EXPECT_EQ(line({23, 99000, 'S', -1, 25}), "23.99000 S -1 25\r\n");
  EXPECT_EQ(line({1, 123456, 'O', 0, 0}), "1.123456 O 0 0\r\n");  // padded, never cut
}

TEST(IdLine, WidestFieldsMakeFortyNineCharacters) {
  const std::string widest = line({UINT32_MAX, UINT32_MAX, 'S', INT32_MIN, INT32_MIN});
  EXPECT_EQ(widest, "4294967295.4294967295 S -2147483648 -2147483648\r\n");
  EXPECT_EQ(widest.size(), static_cast<size_t>(kMaxIdLine));
}

TEST(IdLine, ShortBufferIsCutAndTerminated) {
  char s[8];
  EXPECT_EQ(make_id_str(s, sizeof s, {42, 7000, 'O', 12, -3}), 18);
  EXPECT_STREQ(s, "42.0700");
}

}  // namespace
