// request_response, KIV_Cfg_Exit and KIV_Cfg_SaveExit on a logged-in
// dialogue: one receive is one answer, long answers spill into the next
// exchange, failures leave the handle open, the exits close it.
#include "capture.h"
#include "cfg_test.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <string>

using namespace kivtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char marker = '#';

class Exchange : public CfgTest {
protected:
    int exchange(const char *request, int timeout = 1000)
    {
        answer.fill(marker);
        len = -1;
        return request_response(handle, timeout, request, answer.data(), &len);
    }
    std::string answer_text() const { return std::string(answer.data()); }

    // Room for the 257 bytes and a marker behind them.
    std::array<char, 258> answer{};
    int len = -1;
};

using SaveExit = CfgTest;

std::string repeated(std::size_t n, char c)
{
    return std::string(n, c);
}

} // namespace

TEST_F(Exchange, AnswerIsStoredWithANulAfterIt)
{
    peer.expect(line("G:ai_en=\r\n")).send(line("A:ai_en=5\r\n"));
    log_in();
    EXPECT_EQ(exchange("G:ai_en=\r\n"), KIV_OK);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(answer_text(), "A:ai_en=5\r\n");
    EXPECT_EQ(answer[12], marker) << "nothing past the NUL is written";
}

TEST_F(Exchange, AnswerOf256BytesIsTakenWhole)
{
    const std::string long_answer = "A:" + repeated(252, 'x') + "\r\n";
    peer.expect(line("G:x=\r\n")).send(line(long_answer));
    log_in();
    EXPECT_EQ(exchange("G:x=\r\n"), KIV_OK);
    EXPECT_EQ(len, 256);
    EXPECT_EQ(answer[256], '\0');
    EXPECT_EQ(answer[257], marker);
    EXPECT_EQ(answer_text(), long_answer);
}

TEST_F(Exchange, LongerAnswerLeavesItsRestForTheNextExchange)
{
    const std::string first = "A:" + repeated(254, 'y');
    const std::string rest = repeated(42, 'z') + "\r\n";
    peer.expect(line("G:a=\r\n")).send(line(first + rest)).expect(line("G:b=\r\n"));
    log_in();
    EXPECT_EQ(exchange("G:a=\r\n"), KIV_OK);
    EXPECT_EQ(len, 256);
    EXPECT_EQ(answer_text(), first);
    EXPECT_EQ(exchange("G:b=\r\n"), KIV_OK);
    EXPECT_EQ(len, 44);
    EXPECT_EQ(answer_text(), rest) << "the rest of the long answer, not an answer to G:b";
}

TEST_F(Exchange, AnswerInTwoPiecesIsNotJoined)
{
    peer.expect(line("G:ai_en=\r\n")).send_in_pieces(line("A:ai_en=5\r\n"), {4, 7}, 300ms);
    log_in();
    EXPECT_EQ(exchange("G:ai_en=\r\n"), KIV_OK);
    EXPECT_EQ(answer_text(), "A:ai");
    EXPECT_EQ(len, 4);
    ASSERT_TRUE(peer.wait_steps(3));
}

TEST_F(Exchange, SilenceTimesOutAndTheLateAnswerIsTakenNext)
{
    peer.expect(line("G:a=\r\n")).send(line("A:a=1\r\n"), 300ms).expect(line("G:b=\r\n"));
    log_in();
    EXPECT_EQ(exchange("G:a=\r\n", 50), KIV_ERR_TIMEOUT);
    EXPECT_EQ(len, -1);
    EXPECT_EQ(answer[0], marker);
    ASSERT_TRUE(peer.wait_steps(4));
    EXPECT_EQ(exchange("G:b=\r\n"), KIV_OK);
    EXPECT_EQ(answer_text(), "A:a=1\r\n");
}

TEST_F(Exchange, ModuleClosingGivesDisconnectedSilentlyAndLeavesTheHandleOpen)
{
    peer.expect(line("G:a=\r\n")).close();
    log_in();
    StdoutCapture out;
    EXPECT_EQ(exchange("G:a=\r\n"), KIV_ERR_DISCONNECTED);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(len, -1);
    EXPECT_FALSE(is_closed(handle));
}

TEST_F(Exchange, SendOnADroppedConnectionGivesItsErrno)
{
    peer.close();
    log_in();
    // The first exchange finds the close, a later send the broken pipe.
    const int first = exchange("G:a=\r\n");
    EXPECT_TRUE(first == KIV_ERR_DISCONNECTED || first == EPIPE || first == ECONNRESET) << first;
    int rc = KIV_OK;
    for (int i = 0; i < 20 && rc != EPIPE; ++i)
        rc = exchange("G:a=\r\n", 100);
    EXPECT_EQ(rc, EPIPE);
    EXPECT_FALSE(is_closed(handle));
}

TEST_F(Exchange, NullPointersAreRefusedWithNothingSent)
{
    log_in();
    std::array<char, 257> buf{};
    int n = -1;
    EXPECT_EQ(request_response(handle, 100, nullptr, buf.data(), &n), KIV_ERR_PARAM);
    EXPECT_EQ(request_response(handle, 100, "G:a=\r\n", nullptr, &n), KIV_ERR_PARAM);
    EXPECT_EQ(request_response(handle, 100, "G:a=\r\n", buf.data(), nullptr), KIV_ERR_PARAM);
    EXPECT_EQ(n, -1);
}

TEST_F(Exchange, ExitClosesTheHandle)
{
    peer.expect_closed();
    log_in();
    EXPECT_EQ(KIV_Cfg_Exit(handle), KIV_OK);
    EXPECT_FALSE(connected_to(handle, peer.port()));
    EXPECT_EQ(KIV_Cfg_Exit(handle), KIV_OK) << "also when already closed";
    handle = -1;
    EXPECT_TRUE(peer.wait_steps(3));
}

TEST_F(SaveExit, AsksToSaveAndClosesOnSuccess)
{
    peer.expect(line("S:save=1&reboot=1\r\n")).send(line("A:whatever\r\n")).expect_closed();
    log_in();
    EXPECT_EQ(KIV_Cfg_SaveExit(handle), KIV_OK);
    EXPECT_FALSE(connected_to(handle, peer.port()));
    handle = -1;
    EXPECT_TRUE(peer.wait_steps(5));
}

TEST_F(SaveExit, TimesOutAfter100MsAndClosesAllTheSame)
{
    peer.expect(line("S:save=1&reboot=1\r\n")).expect_closed();
    log_in();
    const auto t0 = Clock::now();
    EXPECT_EQ(KIV_Cfg_SaveExit(handle), KIV_ERR_TIMEOUT);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(waited.count(), 90);
    EXPECT_LT(waited.count(), 2000);
    EXPECT_FALSE(connected_to(handle, peer.port()));
    handle = -1;
    EXPECT_TRUE(peer.wait_steps(4));
}

TEST_F(SaveExit, ModuleClosingGivesDisconnectedAndCloses)
{
    peer.expect(line("S:save=1&reboot=1\r\n")).close();
    log_in();
    EXPECT_EQ(KIV_Cfg_SaveExit(handle), KIV_ERR_DISCONNECTED);
    EXPECT_FALSE(connected_to(handle, peer.port()));
    handle = -1;
}
