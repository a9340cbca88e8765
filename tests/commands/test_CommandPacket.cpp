#include "commands/CommandPacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace norva {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A full 47-byte record. Fields longer than 21 bytes are cut, shorter ones zero-padded.
Bytes Packet(uint8_t type, const std::string& user, const std::string& pass, uint8_t command,
             uint8_t unused = 0xEE) {
    Bytes p(kCommandPacketSize, 0);
    p[0] = type;
    for (std::size_t i = 0; i < user.size() && i < kCredentialFieldSize; ++i)
        p[1 + i] = static_cast<uint8_t>(user[i]);
    for (std::size_t i = 0; i < pass.size() && i < kCredentialFieldSize; ++i)
        p[22 + i] = static_cast<uint8_t>(pass[i]);
    p[43] = command;
    p[44] = p[45] = p[46] = unused;
    return p;
}

// ---- User names as the device sends them against what the user typed --------------------

struct UserNameCase {
    const char* label;
    std::string sent;  // bytes placed in the packet's user-name field
    std::string typed; // text of the user-name field on the settings page
    bool matches;
};

class UserNameMatch : public testing::TestWithParam<UserNameCase> {};

TEST_P(UserNameMatch, DecodedNameAgainstTypedName) {
    const UserNameCase& c = GetParam();
    const CommandPacket packet = DecodeCommandPacket(Packet(eCmnd_get, c.sent, "pw", 1));
    EXPECT_EQ(SameUserName(packet.userName, c.typed), c.matches);
    EXPECT_EQ(SameUserName(c.typed, packet.userName), c.matches);
}

const std::string k21 = "abcdefghijklmnopqrstu";

INSTANTIATE_TEST_SUITE_P(
    Table, UserNameMatch,
    testing::Values(UserNameCase{"case_of_A_to_Z_folds", "AdMiN", "aDmIn", true},
                    UserNameCase{"all_of_A_to_Z", "ABCDEFGHIJKLMNOPQRSTU", "abcdefghijklmnopqrstu",
                                 true},
                    UserNameCase{"VWXYZ_fold_too", "VWXYZ", "vwxyz", true},
                    // Latin-1 A-umlaut (0xC4) and a-umlaut (0xE4) are different letters here.
                    UserNameCase{"latin1_does_not_fold", "\xC4rger", "\xE4rger", false},
                    UserNameCase{"latin1_same_byte", "\xC4rger", "\xC4RGER", true},
                    // Neighbours of A-Z whose code differs by 32 from another character.
                    UserNameCase{"at_sign_is_not_a_letter", "@", "`", false},
                    UserNameCase{"bracket_is_not_a_letter", "[", "{", false},
                    UserNameCase{"digits_exact", "user1", "USER1", true},
                    UserNameCase{"name_of_21_bytes_without_zero", k21, k21, true},
                    UserNameCase{"typed_name_longer_than_field", k21, k21 + "v", false},
                    UserNameCase{"prefix_is_not_enough", "admin", "admi", false},
                    UserNameCase{"empty_against_leading_zero", "", "", true},
                    UserNameCase{"leading_zero_against_text", "", "a", false}),
    [](const testing::TestParamInfo<UserNameCase>& p) { return p.param.label; });

TEST(CommandPacket, FieldsAreRawBytesEndingAtZeroOrFieldEnd) {
    // The password uses the full field, the user name stops at its zero byte even though
    // bytes follow it, and the type and command come through untouched.
    Bytes p = Packet(0x07, "bob", "P\xE4sswordP\xE4sswordXYZab", 2);
    p[1 + 4] = 'x'; // after the terminating zero: must not appear
    const CommandPacket packet = DecodeCommandPacket(p);
    EXPECT_EQ(packet.type, 7);
    EXPECT_EQ(packet.userName, "bob");
    EXPECT_EQ(packet.password, "P\xE4sswordP\xE4sswordXYZab");
    EXPECT_EQ(packet.password.size(), 21u);
    EXPECT_EQ(packet.command, kCommandShutdown);
}

// ---- Message kinds ------------------------------------------------------------------------

struct MessageCase {
    const char* label;
    Bytes message;
    bool isHello;
    std::string text;     // HelloText, when a hello
    std::string userName; // decoded user name, when a command
};

class MessageKind : public testing::TestWithParam<MessageCase> {};

TEST_P(MessageKind, IsDecodedAsExpected) {
    const MessageCase& c = GetParam();
    ASSERT_EQ(IsHello(c.message), c.isHello);
    if (c.isHello)
        EXPECT_EQ(HelloText(c.message), c.text);
    else
        EXPECT_EQ(DecodeCommandPacket(c.message).userName, c.userName);
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kHelloZ = ToBytes(std::string("hello-000\0", 10));

INSTANTIATE_TEST_SUITE_P(
    Table, MessageKind,
    testing::Values(
        MessageCase{"hello_exact", ToBytes("hello-000"), true, "hello-000", ""},
        MessageCase{"hello_zero_then_bytes", Concat(kHelloZ, ToBytes("junk\x01\xFF")), true,
                    "hello-000", ""},
        MessageCase{"other_hello_text", ToBytes("hello-001"), true, "hello-001", ""},
        // A capital H is a command packet whose user name is bytes 1..21.
        MessageCase{"capital_H_is_a_command", ToBytes("Hello-000"), false, "", "ello-000"},
        // A hello and a packet in one read cycle: one hello, the packet is never decoded.
        MessageCase{"hello_and_packet_with_zero", Concat(kHelloZ, Packet(7, "admin", "pw", 1)),
                    true, "hello-000", ""},
        // Without its zero byte the hello runs into the packet and no longer matches.
        MessageCase{"hello_and_packet_without_zero",
                    Concat(ToBytes("hello-000"), Packet(7, "admin", "pw", 1)), true,
                    "hello-000\x07"
                    "admin",
                    ""},
        MessageCase{"zero_type_byte_is_a_command", Packet(0, "u", "p", 1), false, "", "u"},
        MessageCase{"empty_message_is_not_a_hello", Bytes{}, false, "", ""}),
    [](const testing::TestParamInfo<MessageCase>& p) { return p.param.label; });

TEST(HelloText, OnlyTheFirst1024CharactersCount) {
    Bytes big(100 * 1024, 'x');
    big[0] = 'h';
    const std::string text = HelloText(big);
    EXPECT_EQ(text.size(), kHelloTextLimit);
    EXPECT_EQ(text, "h" + std::string(kHelloTextLimit - 1, 'x'));
    // A zero beyond the limit changes nothing; one inside it ends the text there.
    big[2000] = 0;
    EXPECT_EQ(HelloText(big).size(), kHelloTextLimit);
    big[10] = 0;
    EXPECT_EQ(HelloText(big), "hxxxxxxxxx");
}

// ---- Message lengths ----------------------------------------------------------------------

// Every cut of a full packet. The vector holds exactly the received bytes, so reading past
// them is caught by AddressSanitizer; the missing bytes must count as zero.
class ShortMessage : public testing::TestWithParam<std::size_t> {};

TEST_P(ShortMessage, MissingBytesCountAsZero) {
    const std::size_t n = GetParam();
    const Bytes full = Packet(eCmnd_get, k21, "ABCDEFGHIJKLMNOPQRSTU", kCommandRestart);
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    cut.shrink_to_fit();

    const CommandPacket packet = DecodeCommandPacket(cut);
    EXPECT_EQ(packet.type, eCmnd_get);
    EXPECT_EQ(packet.userName, k21.substr(0, std::min<std::size_t>(n - 1, 21)));
    EXPECT_EQ(packet.password, std::string("ABCDEFGHIJKLMNOPQRSTU")
                                   .substr(0, n > 22 ? std::min<std::size_t>(n - 22, 21) : 0));
    EXPECT_EQ(packet.command, n > 43 ? kCommandRestart : 0);
}

INSTANTIATE_TEST_SUITE_P(EveryLength, ShortMessage,
                         testing::Range<std::size_t>(1, kCommandPacketSize));

TEST(CommandPacket, OnlyTheFirst47BytesOfALongMessageCount) {
    const Bytes packet = Packet(eCmnd_get, "admin", "secret", kCommandRestart);
    Bytes big = packet;
    big.resize(100 * 1024, 0xAB);
    const CommandPacket a = DecodeCommandPacket(packet);
    const CommandPacket b = DecodeCommandPacket(big);
    EXPECT_EQ(b.type, a.type);
    EXPECT_EQ(b.userName, "admin");
    EXPECT_EQ(b.password, "secret");
    EXPECT_EQ(b.command, kCommandRestart);

    // A full-width field must stop at byte 42 even when non-zero bytes follow the record.
    Bytes full = Packet(eCmnd_get, k21, k21, 9, 0xAB);
    full.resize(100 * 1024, 'z');
    const CommandPacket c = DecodeCommandPacket(full);
    EXPECT_EQ(c.userName, k21);
    EXPECT_EQ(c.password, k21);
    EXPECT_EQ(c.command, 9);
}

} // namespace
} // namespace norva
