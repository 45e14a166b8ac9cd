// The password cipher against the published XTEA vectors, the password code
// of the login, and the reading of the module's decimal values.
#include "kiv_cfg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

using namespace kiv::cfg;

namespace {

using Block = std::array<unsigned char, 8>;

// Key bytes 00 01 .. 0F taken as four big-endian words.
constexpr std::array<std::uint32_t, 4> counting_key{0x00010203, 0x04050607, 0x08090A0B,
                                                    0x0C0D0E0F};
constexpr std::array<std::uint32_t, 4> zero_key{};

constexpr std::array<std::uint32_t, 2> xtea(std::array<std::uint32_t, 2> block,
                                            const std::array<std::uint32_t, 4> &key)
{
    std::array<std::uint32_t, 2> out{};
    encipher(block, out, key);
    return out;
}

constexpr std::array<std::uint32_t, 2> abcdefgh{0x41424344, 0x45464748};
constexpr std::array<std::uint32_t, 2> eight_a{0x41414141, 0x41414141};

// The vectors hold at compile time as well.
static_assert(xtea(abcdefgh, counting_key) == std::array<std::uint32_t, 2>{0x497DF3D0, 0x72612CB5});
static_assert(xtea(eight_a, counting_key) == std::array<std::uint32_t, 2>{0xE78F2D13, 0x744341D8});
static_assert(xtea(eight_a, zero_key) == std::array<std::uint32_t, 2>{0xED23375A, 0x821A8C2D});

std::string code_of(const Block &password)
{
    std::array<char, password_code_size + 1> code{};
    code.fill('#');
    makePassword(password, code);
    EXPECT_EQ(code[password_code_size], '\0');
    return std::string(code.data());
}

} // namespace

TEST(Encipher, PublishedVectors)
{
    EXPECT_EQ(xtea(abcdefgh, counting_key), (std::array<std::uint32_t, 2>{0x497DF3D0, 0x72612CB5}));
    EXPECT_EQ(xtea(eight_a, counting_key), (std::array<std::uint32_t, 2>{0xE78F2D13, 0x744341D8}));
    EXPECT_EQ(xtea(eight_a, zero_key), (std::array<std::uint32_t, 2>{0xED23375A, 0x821A8C2D}));
}

TEST(SeEncipher, WordsAreBigEndianOnEveryBuild)
{
    // The library's own key; reference values computed independently.
    const Block in{'s', 'e', 'c', 'r', 'e', 't', '1', '2'};
    Block out{};
    se_encipher(in, out);
    EXPECT_EQ(out, (Block{0xd2, 0x19, 0x6c, 0x32, 0x54, 0x20, 0x0d, 0x16}));
}

TEST(MakePassword, SixteenLowerCaseHexDigits)
{
    EXPECT_EQ(code_of({'s', 'e', 'c', 'r', 'e', 't', '1', '2'}), "d2196c3254200d16");
    EXPECT_EQ(code_of({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), "1536b3174a1d2cae");
}

TEST(MakePassword, ZeroBytesArePartOfTheBlock)
{
    EXPECT_EQ(code_of({'a', 'b', 0, 0, 0, 0, 0, 0}), "12c5986fb47782af");
    EXPECT_EQ(code_of({1, 0, 0, 0, 0, 0, 0, 0}), "d2d388d2dc223e8d");
}

TEST(ReadU32, DigitsSignsAndBlanks)
{
    EXPECT_EQ(read_u32("85"), 85u);
    EXPECT_EQ(read_u32(" \t+12x"), 12u);
    EXPECT_EQ(read_u32(""), 0u);
    EXPECT_EQ(read_u32("-"), 0u);
    EXPECT_EQ(read_u32("=85"), 0u);
    EXPECT_EQ(read_u32("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(read_u32("-4294967295"), 1u);
}

TEST(ReadU32, ValuesBeyond32BitsSaturateOnEveryBuild)
{
    EXPECT_EQ(read_u32("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(read_u32("4294967296"), 0xFFFFFFFFu);
    EXPECT_EQ(read_u32("18446744073709551616"), 0xFFFFFFFFu);
    EXPECT_EQ(read_u32("-4294967296"), 0xFFFFFFFFu);
}

TEST(Windows, BitWindowWithinTheWord)
{
    EXPECT_TRUE(window_fits(0, 32));
    EXPECT_TRUE(window_fits(31, 1));
    EXPECT_TRUE(window_fits(32, 0));
    EXPECT_FALSE(window_fits(-1, 1));
    EXPECT_FALSE(window_fits(0, -1));
    EXPECT_FALSE(window_fits(31, 2));
    EXPECT_FALSE(window_fits(0x7FFFFFFF, 1));
    EXPECT_FALSE(window_fits(1, 0x7FFFFFFF));
}
