// Arbitrary answers of the configuration service to request_response, every
// parameter function and every model configuration call, with arbitrary
// windows, values and buffer sizes. The module either sends one message per
// exchange (a packet socket: every receive takes exactly one answer) or all
// its bytes at once (a stream: receives cut them as they come), and may hang
// up after them. Every call is judged on what its receives took
// (cfg_oracle.h): the value a read gives, the lines a write sends (nothing
// after a read answer that does not plainly state a value, and then that
// value with exactly the window replaced), echoes, error texts, counts and
// result codes; nothing stored past the caller's size (exact heap buffers);
// well-formed request lines.
//
// Input: op, kind (bit 0 packets, bit 1 hang up, bit 2 the call's count,
// codes or answer pointer null), first, count, value (4
// bytes), size, a request line for request_response (length byte, bytes),
// the range codes (count bytes, when count is 1..32), then answers, each a
// length byte and its bytes.
#include "cfg_oracle.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

using namespace kivfuzz;

namespace {

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
    return cfg::split_lines(joined(messages));
}

// What each receive of the call took. Packets: one message each, up to an
// empty one (a hang-up). A stream: the bytes the call took, measured on the
// socket.
cfg::Answers answers_of(const std::vector<Bytes> &messages, bool packets, const Bytes &took,
                        bool single, bool write)
{
    if (!packets)
        return cfg::stream_answers(took, single, write);
    cfg::Answers a;
    for (const auto &m : messages) {
        if (m.empty())
            break;
        a.list.emplace_back(m.begin(), m.end());
    }
    return a;
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
    std::vector<Bytes> messages;
    Bytes stream;
    for (int n = 0; n < 40 && !in.done(); ++n) {
        const Bytes a = in.bytes(in.u8());
        // An empty message on a packet socket reads as a hang-up; a stream
        // has no such thing.
        if (a.empty() && !packets)
            continue;
        pair.answer(a);
        messages.push_back(a);
        stream.insert(stream.end(), a.begin(), a.end());
    }
    // Save and exit waits a fixed 100 ms for its answer: hang up instead of
    // leaving it to wait.
    if (op == 17 && messages.empty())
        hang_up = true;
    if (hang_up)
        pair.hang_up();
    // The exchange that finds no answer: an empty message or a hang-up ends
    // the connection, else it waits in vain.
    const bool ends = hang_up || std::any_of(messages.begin(), messages.end(),
                                             [](const Bytes &m) { return m.empty(); });
    const int nothing = ends ? KIV_ERR_DISCONNECTED : KIV_ERR_TIMEOUT;
    auto no_reply = [nothing](int rc) { return rc == nothing; };

    const int h = pair.handle;
    Buffer answer(257);
    int answer_len = -1;
    Buffer buf(buf_size);
    int count_out = -1;
    // A null pointer is refused before anything is sent (not for the calls
    // that take none).
    const bool null = (kind & 4) && op != 11 && op != 12 && op < 16;
    int *out = null ? nullptr : &count_out;
    char *answer_text = null ? nullptr : reinterpret_cast<char *>(answer.data());
    int rc = 0;
    Bytes codes = codes_in;
    int range_count = count;
    switch (op) {
    case 0:
        rc = request_response(h, 0, request.c_str(), answer_text, &answer_len);
        break;
    case 1: case 2: case 3: {
        auto get = op == 1 ? KIV_Cfg_Get_DO_PowerOnValue
                           : op == 2 ? KIV_Cfg_Get_AI_Enable : KIV_Cfg_Get_TC_Enable;
        rc = get(h, 0, first, count, buf.data(), buf_size, out);
        break;
    }
    case 4: case 5: case 6: {
        auto set = op == 4 ? KIV_Cfg_Set_DO_PowerOnValue
                           : op == 5 ? KIV_Cfg_Set_AI_Enable : KIV_Cfg_Set_TC_Enable;
        rc = set(h, 0, first, count, value, buf.data(), buf_size, out);
        break;
    }
    case 7:
        rc = KIV_Cfg_Get_AI_Range(h, 0, first, count, buf.data(), buf_size, out);
        break;
    case 8: {
        // The generic call reads count codes from the caller: give it exactly those.
        Buffer exact(static_cast<int>(codes_in.size()));
        std::copy(codes_in.begin(), codes_in.end(), exact.data());
        range_count = count >= 1 && count <= 32 ? static_cast<int>(codes_in.size()) : count;
        rc = KIV_Cfg_Set_AI_Range(h, 0, first, range_count, null ? nullptr : exact.data(),
                                  buf_size, 8);
        break;
    }
    case 9: case 10: {
        auto get = op == 9 ? KIV_Cfg_ZRM_7301_Get_AI_Enable : KIV_Cfg_ZRM_7303_Get_TC_Enable;
        rc = get(h, 0, first, count, buf.data(), buf_size, out);
        break;
    }
    case 11: case 12: {
        auto set = op == 11 ? KIV_Cfg_ZRM_7301_Set_AI_Enable : KIV_Cfg_ZRM_7303_Set_TC_Enable;
        rc = set(h, 0, first, count, value);
        break;
    }
    case 13:
        rc = KIV_Cfg_ZRM_7301_Get_AI_Range(h, 0, first, count, buf.data(), buf_size, out);
        break;
    case 14:
        // The codes are the caller's buffer; the channels read count of them.
        for (std::size_t i = 0; i < buf.size() && i < codes_in.size(); ++i)
            buf.data()[i] = codes_in[i];
        codes.assign(buf.data(), buf.data() + buf.size());
        rc = KIV_Cfg_ZRM_7301_Set_AI_Range(h, 0, first, count, null ? nullptr : buf.data(),
                                            buf_size);
        break;
    case 15:
        // A line of the caller's own: the wait and the receive under test.
        rc = request_response(h, 0, "G:ai_en=\r\n", answer_text, &answer_len);
        break;
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
    if (null) {
        KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && lines.empty() && count_out == -1);
        KIV_FUZZ_CHECK(answer_len == -1 && untouched(answer) && (op == 14 || untouched(buf)));
        return 0;
    }

    // What the call's receives took; the model entry points pass their
    // 1-based channels on as first - 1.
    const bool closed = op == 16 || op == 17;
    const std::size_t left = closed || packets ? 0 : queued(h);
    const Bytes took(stream.begin(), stream.begin() + static_cast<long>(stream.size() - left));
    const bool write =
        op == 4 || op == 5 || op == 6 || op == 8 || op == 11 || op == 12 || op == 14;
    // One exchange made: by a call of one exchange, or by a call that
    // stopped after its first.
    const bool single = op == 0 || op == 15 || op == 17 || lines.size() <= 1;
    const cfg::Answers answers = answers_of(messages, packets, took, single, write);
    static constexpr std::string_view keys[] = {"u8_povp", "ai_en", "tc_en"};
    const int channel_count = op == 10 || op == 12 ? 3 : 8;
    const bool channels_fit =
        first >= 1 && first <= channel_count && count >= 1 && count <= channel_count &&
        first + count - 1 <= channel_count;
    switch (op) {
    case 0: case 15:
        if (rc != KIV_OK) {
            KIV_FUZZ_CHECK(answers.list.empty() && no_reply(rc));
            KIV_FUZZ_CHECK(answer_len == -1 && untouched(answer));
            break;
        }
        KIV_FUZZ_CHECK(!answers.list.empty() && answers.list[0].size() <= 256);
        KIV_FUZZ_CHECK(answer_len == static_cast<int>(answers.list[0].size()));
        KIV_FUZZ_CHECK(std::memcmp(answers.list[0].data(), answer.data(), answers.list[0].size()) ==
                       0);
        KIV_FUZZ_CHECK(answer[static_cast<std::size_t>(answer_len)] == 0);
        break;
    case 1: case 2: case 3:
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_get_bits(keys[op - 1], first, count, lines, answers, rc, count_out, buf,
                                no_reply, r);
        });
        break;
    case 4: case 5: case 6:
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_set_bits(keys[op - 4], first, count, value, lines, answers, rc, count_out,
                                &buf, no_reply, r);
        });
        break;
    case 7:
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_get_range(first, count, buf_size, lines, answers, rc, count_out, buf,
                                 no_reply, r);
        });
        break;
    case 8:
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_set_range(first, range_count, codes, lines, answers, rc, no_reply, r);
        });
        break;
    case 9: case 10:
        if (!channels_fit || buf_size < 1) {
            KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && count_out == -1 && untouched(buf));
            break;
        }
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_get_bits(op == 9 ? "ai_en" : "tc_en", first - 1, count, lines, answers,
                                rc, count_out, buf, no_reply, r);
        });
        break;
    case 11: case 12:
        if (!channels_fit) {
            KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM);
            break;
        }
        // The error text and its count stay inside the call.
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_set_bits(op == 11 ? "ai_en" : "tc_en", first - 1, count, value, lines,
                                answers, rc, 0, nullptr, no_reply, r);
        });
        break;
    case 13:
        if (!channels_fit || buf_size < count) {
            KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM && count_out == -1 && untouched(buf));
            break;
        }
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_get_range(first - 1, count, buf_size, lines, answers, rc, count_out, buf,
                                 no_reply, r);
        });
        break;
    case 14:
        if (!channels_fit || buf_size < count) {
            KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM);
            break;
        }
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_set_range(first - 1, count, codes, lines, answers, rc, no_reply, r);
        });
        break;
    case 17:
        // Any answer within its time is success.
        KIV_FUZZ_CHECK(answers.list.empty() ? no_reply(rc) : rc == KIV_OK);
        break;
    default:
        break;
    }
    return 0;
}
