// The login: the first line decides, the password code is XTEA over the
// password's first 8 bytes (zero-padded) with the module key, and anything
// but the right line is refused with the connection closed.
#include "clients.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>

using namespace simtest;

namespace {

// XTEA as published (Needham and Wheeler), written here independently of
// the simulator, and checked against published test vectors below.
using Block = std::array<std::uint32_t, 2>;
using Key = std::array<std::uint32_t, 4>;

Block xtea(Block v, const Key &k)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < 32; ++i) {
        v[0] += (((v[1] << 4) ^ (v[1] >> 5)) + v[1]) ^ (sum + k[sum & 3]);
        sum += 0x9E3779B9u;
        v[1] += (((v[0] << 4) ^ (v[0] >> 5)) + v[0]) ^ (sum + k[(sum >> 11) & 3]);
    }
    return v;
}

std::string block_hex(const Block &b)
{
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", b[0], b[1]);
    return text;
}

const Key module_key{0x3C5A7E19u, 0x84D2F06Bu, 0x1E9B47C3u, 0xA65D08F2u};

std::string code_for(std::string_view password)
{
    std::array<unsigned char, 8> p{};
    for (std::size_t i = 0; i < 8 && i < password.size(); ++i)
        p[i] = static_cast<unsigned char>(password[i]);
    Block b{(std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3],
            (std::uint32_t{p[4]} << 24) | (std::uint32_t{p[5]} << 16) | (std::uint32_t{p[6]} << 8) | p[7]};
    return block_hex(xtea(b, module_key));
}

} // namespace

TEST(Xtea, PublishedTestVectors)
{
    const Key k0{0, 0, 0, 0};
    const Key k1{0x00010203u, 0x04050607u, 0x08090A0Bu, 0x0C0D0E0Fu};
    EXPECT_EQ(block_hex(xtea({0x41424344u, 0x45464748u}, k1)), "497df3d072612cb5");
    EXPECT_EQ(block_hex(xtea({0x41414141u, 0x41414141u}, k1)), "e78f2d13744341d8");
    EXPECT_EQ(block_hex(xtea({0x41424344u, 0x45464748u}, k0)), "a0390589f8b8efa5");
    EXPECT_EQ(block_hex(xtea({0x41414141u, 0x41414141u}, k0)), "ed23375a821a8c2d");
    EXPECT_EQ(block_hex(xtea({0, 0}, k0)), "dee9d4d8f7131ed9");
}

TEST(LoginWithoutPassword, BareLoginLineIsAcceptedWithExactlyLoginOk)
{
    Sim sim({"--model", "7303"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    ASSERT_TRUE(c.send("L:\r\n"));
    EXPECT_EQ(c.read_some(), "A:LoginOK\r\n") << "11 bytes and nothing more";
    EXPECT_EQ(c.ask("G:tc_en=\r\n"), "A:tc_en=7\r\n");
}

TEST(LoginWithoutPassword, CodeOrOtherFirstLineIsRefusedAndClosed)
{
    Sim sim({"--model", "7301"});
    ASSERT_TRUE(sim.start()) << sim.error();
    for (std::string first : {"L:" + code_for("secret") + "\r\n", std::string("G:ai_en=\r\n"),
                              std::string("L: \r\n"), std::string("l:\r\n")}) {
        LineConn c(sim.config_port());
        std::string answer = c.ask(first);
        EXPECT_NE(answer, "A:LoginOK\r\n") << first;
        EXPECT_EQ(answer.rfind("A:", 0), 0u) << "a refusal line: " << answer;
        EXPECT_TRUE(c.closed_by_peer()) << first;
    }
}

TEST(LoginWithPassword, OnlyTheRightCodeIsAccepted)
{
    Sim sim({"--model", "7301", "--password", "secret"});
    ASSERT_TRUE(sim.start()) << sim.error();
    const std::string right = code_for("secret");
    ASSERT_EQ(right.size(), 16u);
    {
        LineConn c(sim.config_port());
        ASSERT_TRUE(c.send("L:" + right + "\r\n"));
        EXPECT_EQ(c.read_some(), "A:LoginOK\r\n");
        EXPECT_EQ(c.ask("G:ai_en=\r\n"), "A:ai_en=255\r\n");
    }
    std::string upper = right;
    for (char &ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    struct Wrong {
        const char *why;
        std::string line;
    };
    for (const Wrong &w : {Wrong{"no code", "L:\r\n"}, Wrong{"other password", "L:" + code_for("secreT") + "\r\n"},
                           Wrong{"upper-case digits", "L:" + upper + "\r\n"},
                           Wrong{"code cut short", "L:" + right.substr(0, 15) + "\r\n"},
                           Wrong{"code with more", "L:" + right + "0\r\n"},
                           Wrong{"plain password", "L:secret\r\n"}}) {
        LineConn c(sim.config_port());
        std::string answer = c.ask(w.line);
        EXPECT_EQ(answer.rfind("A:", 0), 0u) << w.why << ": " << answer;
        EXPECT_NE(answer, "A:LoginOK\r\n") << w.why;
        EXPECT_TRUE(c.closed_by_peer()) << w.why;
    }
}

TEST(LoginWithPassword, OnlyTheFirstEightBytesCount)
{
    Sim sim({"--model", "7302", "--password", "password123"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    EXPECT_TRUE(c.login(code_for("password")));
}

TEST(LoginWithPassword, ShortPasswordIsZeroPadded)
{
    Sim sim({"--model", "7302", "--password", "ab"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    EXPECT_TRUE(c.login(block_hex(xtea({0x61620000u, 0}, module_key))));
}

TEST(LoginWithPassword, LoginLineSplitOverSegments)
{
    Sim sim({"--model", "7303", "--password", "k"});
    ASSERT_TRUE(sim.start()) << sim.error();
    LineConn c(sim.config_port());
    std::string line = "L:" + code_for("k") + "\r\n";
    ASSERT_TRUE(c.send(line.substr(0, 7)));
    ASSERT_TRUE(c.send(line.substr(7, 12)));
    EXPECT_TRUE(c.silent_for(100ms)) << "no answer to half a line";
    EXPECT_EQ(c.ask(line.substr(19)), "A:LoginOK\r\n");
}
