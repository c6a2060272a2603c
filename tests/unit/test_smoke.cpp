#include <gtest/gtest.h>
#include "util.h"
TEST(Smoke, Crc) { EXPECT_EQ(crc32_buf("123456789", 9), 0xCBF43926u); }
