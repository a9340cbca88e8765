#include "platform/Error.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsRules.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace {

using namespace norva;

TEST(IPAddrText, Pieces) {
    EXPECT_EQ(GetDelimitedPiece("a.b", 1, '.'), "a");
    EXPECT_EQ(GetDelimitedPiece("a.b", 2, '.'), "b");
    EXPECT_EQ(GetDelimitedPiece("a.b", 3, '.'), "");
    EXPECT_EQ(GetDelimitedPiece("a.b", 0, '.'), "");
    EXPECT_EQ(GetDelimitedPiece("1..3", 2, '.'), "");
    EXPECT_EQ(GetDelimitedPiece("1..3", 3, '.'), "3");
    EXPECT_EQ(GetDelimitedPiece("x;yy;", 3, ';'), "");
    EXPECT_EQ(GetDelimitedPiece("", 1, '.'), "");

    EXPECT_EQ(CountCharOccurrences("1.2.3.4.", '.'), 4);
    EXPECT_EQ(CountCharOccurrences("", '.'), 0);

    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("12 "));
    EXPECT_FALSE(IsAllDigits("1a"));
    EXPECT_FALSE(IsAllDigits("-1"));
}

enum class Fails { No, Assertion, Error };

struct AddressCase {
    const char* text;
    // The normalised form, or nullptr when normalising already fails.
    const char* normalized;
    Fails fails;
    const char* message; // exact text, or the beginning for an assertion
};

void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class AddressText : public testing::TestWithParam<AddressCase> {
protected:
    // Checks that call raises the failure of the case, of the right kind and text.
    void expectFailure(const std::function<void()>& call) {
        const AddressCase& c = GetParam();
        try {
            call();
            ADD_FAILURE() << "no error";
        } catch (const AssertionFailed& e) {
            EXPECT_EQ(c.fails, Fails::Assertion) << e.what();
            const std::string what = e.what();
            // The text, then where in the source it failed.
            EXPECT_EQ(what.rfind(std::string(c.message) + " (", 0), 0u) << what;
            EXPECT_NE(what.find("SettingsRules.cpp"), std::string::npos) << what;
        } catch (const Error& e) {
            EXPECT_EQ(c.fails, Fails::Error) << e.what();
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
};

TEST_P(AddressText, NormalizesAndValidates) {
    const AddressCase& c = GetParam();
    const std::string s = c.text;
    if (c.normalized != nullptr) {
        EXPECT_EQ(NormalizeIPString(s), c.normalized);
    } else {
        expectFailure([&] { NormalizeIPString(s); });
    }
    if (c.fails == Fails::No) {
        EXPECT_NO_THROW(ValidateIPString(s));
    } else {
        expectFailure([&] { ValidateIPString(s); });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressText,
    testing::Values(
        AddressCase{"192.168.1.10", "192168001010", Fails::No, ""},
        AddressCase{"0.0.0.0", "000000000000", Fails::No, ""},
        AddressCase{"255.255.255.255", "255255255255", Fails::No, ""},
        AddressCase{"10.20.30.40", "010020030040", Fails::No, ""},
        AddressCase{"192.168.01.1", nullptr, Fails::Error,
                    "Leading zero not allowed. IPAddressString[192.168.01.1]"},
        AddressCase{"000.1.1.1", nullptr, Fails::Error,
                    "Leading zero not allowed. IPAddressString[000.1.1.1]"},
        AddressCase{"1.2.3", nullptr, Fails::Assertion, "Must include exactly 3 dots! [1.2.3]"},
        AddressCase{"1.2.3.4.5", nullptr, Fails::Assertion,
                    "Must include exactly 3 dots! [1.2.3.4.5]"},
        AddressCase{"", nullptr, Fails::Assertion, "Must include exactly 3 dots! []"},
        AddressCase{"256.1.1.1", "256001001001", Fails::Error,
                    "Triplets must be of range 0..255  IPAddressString[256.1.1.1]"},
        AddressCase{"1.2.3.999", "001002003999", Fails::Error,
                    "Triplets must be of range 0..255  IPAddressString[1.2.3.999]"},
        AddressCase{"a.b.c.d", "00a00b00c00d", Fails::Error,
                    "IP Address contains illegal symbols. IPAddressString[a.b.c.d]"},
        AddressCase{"1.2.3.4 ", "00100200304 ", Fails::Error,
                    "IP Address contains illegal symbols. IPAddressString[1.2.3.4 ]"},
        AddressCase{"1111.2.3.4", nullptr, Fails::Error,
                    "IPAddress must include 4 pieces of length 1..3. IPAddressString[1111.2.3.4]"},
        AddressCase{"1..3.4", nullptr, Fails::Error,
                    "IPAddress must include 4 pieces of length 1..3. IPAddressString[1..3.4]"},
        AddressCase{"1234.123.123.12", nullptr, Fails::Error,
                    "IPAddress must include 4 pieces of length 1..3. "
                    "IPAddressString[1234.123.123.12]"},
        AddressCase{"1234.123.123.123", nullptr, Fails::Assertion,
                    "Illegal length for IPString![1234.123.123.123(16)]"},
        AddressCase{"192.168.100.1000000", nullptr, Fails::Assertion,
                    "Illegal length for IPString![192.168.100.1000000(19)]"}));

TEST(IPAddrText, NormalisedFormOfTheWrongLength) {
    try {
        CheckNormalizedIP("12345", "1.2.3.45");
        ADD_FAILURE() << "no error";
    } catch (const AssertionFailed& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Illegal length for IPString![1.2.3.45 (Length:5) ] (", 0),
            0u)
            << e.what();
    }
    EXPECT_NO_THROW(CheckNormalizedIP("000255010001", "whatever"));
}

// Only the exact name of a port from COM1 to COM50 is one: whatever else a settings file or the
// bus holds names no port, so it is neither opened nor listed as chosen.
TEST(ComPorts, OnlyTheExactNameOfAListedPortIsOne) {
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"COM1", 1},  {"COM9", 9},     {"COM10", 10}, {"COM50", 50}, {"COM51", 0},
        {"COM0", 0},  {"COM03", 0},    {"com3", 0},   {"Com3", 0},   {"COM3 ", 0},
        {" COM3", 0}, {"COM+3", 0},    {"COM-3", 0},  {"COM", 0},    {"", 0},
        {"None", 0},  {"COM65539", 0}, {"COM3x", 0},  {"COM 3", 0},  {"/dev/ttyS0", 0},
    };
    for (const auto& [text, number] : cases)
        EXPECT_EQ(ComPortNumber(text), number) << '"' << text << '"';

    EXPECT_EQ(ComPortName(7), "COM7");
    EXPECT_EQ(ComPortName(HighestPort), "COM50");
    for (std::uint16_t n = 1; n <= HighestPort; ++n)
        EXPECT_EQ(ComPortNumber(ComPortName(n)), n);
}

// Start starts nothing while one of the four heartbeat fields is empty. The stored settings
// count as the page would show them: a missing address shows "0.0.0.0", the numbers their
// defaults, so only a value stored empty leaves a field empty.
TEST(HeartbeatFields, FilledWhenNoneOfTheFourIsEmpty) {
    EXPECT_TRUE(HeartbeatFieldsFilled("0.0.0.0", "9100", "5", "3"));
    EXPECT_FALSE(HeartbeatFieldsFilled("", "9100", "5", "3"));
    EXPECT_FALSE(HeartbeatFieldsFilled("0.0.0.0", "", "5", "3"));
    EXPECT_FALSE(HeartbeatFieldsFilled("0.0.0.0", "9100", "", "3"));
    EXPECT_FALSE(HeartbeatFieldsFilled("0.0.0.0", "9100", "5", ""));

    const std::pair<const char*, bool> stored[] = {
        {"", true},
        {"[Setup]\nIPAddr=10.0.0.2\nPort=9100\nFreq=5\nFailCount=3\n", true},
        {"[Setup]\nIPAddr=\n", false},
        {"[Setup]\nPort=\n", false},
        {"[Setup]\nFreq=\n", false},
        {"[Setup]\nFailCount=\n", false},
    };
    for (const auto& [settings, filled] : stored) {
        test::TempDir dir;
        dir.write("NorvaHB", settings);
        EXPECT_EQ(StoredHeartbeatFieldsFilled(SettingsFile(dir.path())), filled) << settings;
    }
}

// The stored command password as the command port takes it: missing is the built-in default
// (which still commands, with a warning), stored empty is none (nothing commands).
TEST(StoredPassword, MissingEmptyOrSet) {
    const std::pair<const char*, StoredPassword> stored[] = {
        {"", StoredPassword::Missing},
        {"[GSD]\nUsername=Ostra\n", StoredPassword::Missing},
        {"[GSD]\nPassword=\n", StoredPassword::Empty},
        {"[GSD]\nPassword=\"\"\n", StoredPassword::Empty},
        {"[GSD]\nPassword=   \n", StoredPassword::Empty},
        {"[GSD]\npassword=''\n", StoredPassword::Empty},
        {"[GSD]\nPassword=ferno\n", StoredPassword::Set},
        {"[GSD]\nPassword=s3cret\n", StoredPassword::Set},
    };
    for (const auto& [settings, state] : stored) {
        test::TempDir dir;
        dir.write("NorvaHB", settings);
        EXPECT_EQ(StoredPasswordOf(SettingsFile(dir.path())), state) << settings;
    }
    EXPECT_EQ(StoredPasswordProblem(StoredPassword::Set), "");
    EXPECT_NE(StoredPasswordProblem(StoredPassword::Missing).find("built-in default"),
              std::string::npos);
    EXPECT_NE(StoredPasswordProblem(StoredPassword::Empty).find("no command is accepted"),
              std::string::npos);
}

} // namespace
