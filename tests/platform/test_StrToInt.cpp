#include "platform/Error.h"
#include "platform/StrToInt.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsWholeNumbers) {
    EXPECT_EQ(norva::StrToInt("5"), 5);
    EXPECT_EQ(norva::StrToInt(" 9100 "), 9100);
    EXPECT_EQ(norva::StrToInt("-3"), -3);
    EXPECT_EQ(norva::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(norva::StrToInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(norva::Low16(norva::StrToInt("70000")), 4464);
}

TEST(StrToInt, RejectsEverythingElseWithTheUsersText) {
    for (const char* bad : {"", " ", "abc", "5x", "1 2", "2147483648", "+", "0x10", "1.5"}) {
        try {
            norva::StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const norva::ConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("''") + bad + "'' is not a valid integer value");
        }
    }
}
