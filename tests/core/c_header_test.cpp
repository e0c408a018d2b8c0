#include <gtest/gtest.h>

extern "C" int tf_c_header_check(void);

TEST(CHeaders, WorkFromPlainC) {
    EXPECT_EQ(tf_c_header_check(), 0);
}
