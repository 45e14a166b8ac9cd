// Arbitrary answers of the configuration service to request_response, every
// parameter function and every model configuration call, with arbitrary
// windows, values and buffer sizes. The module either sends one message per
// exchange (a packet socket: every receive takes exactly one answer) or all
// its bytes at once (a stream: receives cut them as they come), and may hang
// up after them. Checked: a known result code, nothing stored past the
// caller's size (exact heap buffers), error texts terminated inside the
// buffer, counts that agree with the result, and well-formed request lines.
//
// Input: op, kind (bit 0 packets, bit 1 hang up), first, count, value (4
// bytes), size, a request line for request_response (length byte, bytes),
// the range codes (count bytes, when count is 1..32), then answers, each a
// length byte and its bytes.
#include "fuzz_support.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

using namespace kivfuzz;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Lines the library may send: "G:<key>=", "S:<key>=<decimal>" or the save
// line, each with CR LF; or, for request_response, the caller's own line.
bool well_formed(std::string_view line)
{
    if (line.size() < 5 || line.size() > 32 || line.substr(line.size() - 2) != "\r\n")
        return false;
    if (line == "S:save=1&reboot=1\r\n")
        return true;
    if (line[0] != 'G' && line[0] != 'S')
        return false;
    const std::size_t eq = line.find('=');
    if (line[1] != ':' || eq == std::string_view::npos || eq < 3)
        return false;
    for (char c : line.substr(2, eq - 2))
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    std::string_view value = line.substr(eq + 1, line.size() - eq - 3);
    if (line[0] == 'G')
        return value.empty();
    if (!value.empty() && value[0] == '-')
        value.remove_prefix(1);
    return !value.empty() && value.size() <= 10 &&
           std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> lines_of(const std::vector<Bytes> &messages, bool packets)
{
    std::vector<std::string> lines;
    if (packets) {
        for (const auto &m : messages)
            lines.emplace_back(m.begin(), m.end());
        return lines;
    }
    std::string all;
    for (const auto &m : messages)
        all.append(m.begin(), m.end());
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find("\r\n", at);
        const std::size_t stop = end == std::string::npos ? all.size() : end + 2;
        lines.push_back(all.substr(at, stop - at));
        at = stop;
    }
    return lines;
}

// An error text must end inside the buffer: at most size-1 bytes and a NUL.
bool terminated(const Buffer &buf)
{
    for (std::size_t i = 0; i < buf.size(); ++i)
        if (buf[i] == 0)
            return true;
    return buf.size() == 0;
}

// Counts after the bit reads and the range read: 0 after a failed exchange,
// the answer's length (at most one receive) with an error text.
void check_count(int rc, int count_out, int ok_count, const Buffer &buf)
{
    if (rc == KIV_OK) {
        KIV_FUZZ_CHECK(count_out == ok_count);
    } else if (rc == KIV_ERR_RESPONSE) {
        KIV_FUZZ_CHECK(count_out >= 0 && count_out <= 256);
        if (count_out > 0)
            KIV_FUZZ_CHECK(terminated(buf));
    } else {
        KIV_FUZZ_CHECK(count_out == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input in(data, size);
    const int op = in.u8() % 18;
    const std::uint8_t kind = in.u8();
    const bool packets = kind & 1;
    bool hang_up = kind & 2;
    const int first = in.small_or_any();
    const int count = in.small_or_any();
    const int value = in.i32();
    const int buf_size = std::clamp(in.small_or_any(), -8, 300);
    const Bytes request_bytes = in.bytes(in.u8() % 40);
    std::string request(request_bytes.begin(), request_bytes.end());
    request = request.substr(0, request.find('\0'));
    Bytes codes_in;
    if (count >= 1 && count <= 32)
        codes_in = in.bytes(static_cast<std::size_t>(count));

    Pair pair(packets ? SOCK_SEQPACKET : SOCK_STREAM);
    int answers = 0;
    for (int n = 0; n < 40 && !in.done(); ++n) {
        const Bytes a = in.bytes(in.u8());
        // An empty message on a packet socket reads as a hang-up; a stream
        // has no such thing.
        if (a.empty() && !packets)
            continue;
        pair.answer(a);
        ++answers;
    }
    // Save and exit waits a fixed 100 ms for its answer: hang up instead of
    // leaving it to wait.
    if (op == 17 && answers == 0)
        hang_up = true;
    if (hang_up)
        pair.hang_up();

    const int h = pair.handle;
    Buffer buf(buf_size);
    int count_out = -1;
    int rc = 0;
    switch (op) {
    case 0: {
        Buffer answer(257);
        int len = -1;
        rc = request_response(h, 0, request.c_str(), reinterpret_cast<char *>(answer.data()), &len);
        if (rc == KIV_OK)
            KIV_FUZZ_CHECK(len >= 1 && len <= 256 && answer[static_cast<std::size_t>(len)] == 0);
        else
            KIV_FUZZ_CHECK(len == -1);
        break;
    }
    case 1: case 2: case 3: {
        auto get = op == 1 ? KIV_Cfg_Get_DO_PowerOnValue
                           : op == 2 ? KIV_Cfg_Get_AI_Enable : KIV_Cfg_Get_TC_Enable;
        rc = get(h, 0, first, count, buf.data(), buf_size, &count_out);
        check_count(rc, count_out, 1, buf);
        break;
    }
    case 4: case 5: case 6: {
        auto set = op == 4 ? KIV_Cfg_Set_DO_PowerOnValue
                           : op == 5 ? KIV_Cfg_Set_AI_Enable : KIV_Cfg_Set_TC_Enable;
        rc = set(h, 0, first, count, value, buf.data(), buf_size, &count_out);
        check_count(rc, count_out, 0, buf);
        break;
    }
    case 7:
        rc = KIV_Cfg_Get_AI_Range(h, 0, first, count, buf.data(), buf_size, &count_out);
        check_count(rc, count_out, std::min(count, std::max(buf_size, 0)), buf);
        break;
    case 8: {
        // The generic call reads count codes from the caller: give it exactly those.
        Buffer codes(static_cast<int>(codes_in.size()));
        std::copy(codes_in.begin(), codes_in.end(), codes.data());
        const int n = count >= 1 && count <= 32 ? static_cast<int>(codes_in.size()) : count;
        rc = KIV_Cfg_Set_AI_Range(h, 0, first, n, codes.data(), buf_size, 8);
        break;
    }
    case 9: case 10: {
        auto get = op == 9 ? KIV_Cfg_ZRM_7301_Get_AI_Enable : KIV_Cfg_ZRM_7303_Get_TC_Enable;
        rc = get(h, 0, first, count, buf.data(), buf_size, &count_out);
        if (rc == KIV_ERR_PARAM)
            KIV_FUZZ_CHECK(count_out == -1);
        else
            check_count(rc, count_out, 1, buf);
        break;
    }
    case 11: case 12: {
        auto set = op == 11 ? KIV_Cfg_ZRM_7301_Set_AI_Enable : KIV_Cfg_ZRM_7303_Set_TC_Enable;
        rc = set(h, 0, first, count, value);
        break;
    }
    case 13:
        rc = KIV_Cfg_ZRM_7301_Get_AI_Range(h, 0, first, count, buf.data(), buf_size, &count_out);
        if (rc == KIV_ERR_PARAM)
            KIV_FUZZ_CHECK(count_out == -1);
        else
            check_count(rc, count_out, count, buf);
        break;
    case 14: {
        Buffer codes(buf_size);
        for (std::size_t i = 0; i < codes.size() && i < codes_in.size(); ++i)
            codes.data()[i] = codes_in[i];
        rc = KIV_Cfg_ZRM_7301_Set_AI_Range(h, 0, first, count, codes.data(), buf_size);
        break;
    }
    case 15: {
        // A line of the caller's own: the wait and the receive under test.
        Buffer answer(257);
        int len = -1;
        rc = request_response(h, 0, "G:ai_en=\r\n", reinterpret_cast<char *>(answer.data()), &len);
        if (rc == KIV_OK)
            KIV_FUZZ_CHECK(len >= 1 && len <= 256 && answer[static_cast<std::size_t>(len)] == 0);
        break;
    }
    case 16:
        rc = KIV_Cfg_Exit(h);
        pair.handle = -1;
        KIV_FUZZ_CHECK(rc == KIV_OK);
        break;
    default:
        rc = KIV_Cfg_SaveExit(h);
        pair.handle = -1;
        break;
    }
    KIV_FUZZ_CHECK(is_result(rc));

    // What went out: well-formed lines, no more than the call may make.
    const auto lines = lines_of(pair.sent(), packets);
    const auto channels = static_cast<std::size_t>(std::max(count, 0));
    const std::size_t most = op == 8 || op == 14 ? 2 + channels : op == 7 || op == 13 ? 1 + channels : 2;
    // The caller's own line for request_response may hold anything.
    if (op != 0) {
        KIV_FUZZ_CHECK(lines.size() <= most);
        for (const auto &line : lines)
            KIV_FUZZ_CHECK(well_formed(line));
    }
    if (rc == KIV_ERR_PARAM && op != 0)
        KIV_FUZZ_CHECK(lines.empty());
    return 0;
}
