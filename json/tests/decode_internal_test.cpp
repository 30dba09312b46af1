// The number-text check that the encoder uses; internal to the library, so
// compiled against the same objects that go into pam_brud.so.
#include "number.h"

#include <gtest/gtest.h>

#include <string>

TEST(NumberIsValid, WholeTextMustBeOneNumber)
{
    for (const char *t : {"0", "-0", "1e+05", "1E5", "-12.25", "0.5e-3", "123456789012345678901234567890",
                          "1.7976931348623157e+308", "5e-324", "0e0"})
        EXPECT_TRUE(number_is_valid(t)) << t;
    for (const char *t : {"", "01", "1.", " 1", "1 ", "inf", "-inf", "nan", "Infinity", "+1", ".5",
                          "-", "1e", "1e+", "0x10", "1,5", "1.5.", "--1", "1e5e5", "00", "-01"})
        EXPECT_FALSE(number_is_valid(t)) << t;
}

// What a printf-style formatter gives for doubles passes, where finite.
TEST(NumberIsValid, AcceptsFormattedDoubles)
{
    const double values[] = {0.0, -0.0, 1.0, -1.5, 1e21, 1e-7, 123.456, 5e-324, 1.7976931348623157e308, 0.1};
    for (double x : values)
        for (const char *fmt : {"%.17g", "%.15g", "%g", "%.3e"}) {
            char buf[64];
            snprintf(buf, sizeof buf, fmt, x);
            EXPECT_TRUE(number_is_valid(buf)) << buf;
        }
}
