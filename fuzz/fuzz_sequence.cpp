// Sequences of calls on one connection, as a program makes them: Modbus
// reads and writes (generic and model entry points) and configuration
// exchanges one after the other on the handle KIV_Connect gave, with the
// module's bytes arriving as the input says: before the call, late (after a
// call gave up, for the next one to take as its own), split over several
// sends, before a hang-up or a reset, or not at all. Between them, connects
// that are refused, that never complete or that a signal interrupts, and
// the handle closed.
//
// kiv.h matches replies by order alone, so every call is judged on the bytes
// it took from the module's stream at its place, told from what is still
// unread at the handle: what it reports is a contiguous part of what the
// module sent there, and its result, counts and the caller's buffers (exact
// heap sizes) follow from those bytes (modbus_oracle.h, cfg_oracle.h); so do
// the request it sent and, when nothing was taken, the failure it gives.
//
// One thread: the module writes before each call, never during it, so every
// wait is 0 ms (a signal's wait 20 ms, ended after 1 ms) and runs repeat.
// libFuzzer's own SIGALRM may end any wait that sleeps, with EINTR as kiv.h
// says; the connect that makes the handle holds it back.
//
// Input: up to 16 steps, each: op, flags, a chunk count (% 4) and the chunks
// the module sends before the call (a length byte and its bytes), then the
// op's arguments. flags bit 0: the module hangs up after its chunks; bit 1:
// it resets the connection; bit 2: the call's timeout is -1 (0 for a
// connect); bit 3: a signal interrupts the call's wait; for a connect, bit 4:
// by KIV_Cfg_Login, bit 5: with no descriptor left, bit 6: the login's
// password pointer null.
#include "cfg_oracle.h"
#include "modbus_oracle.h"
#include "tcp_module.h"

#include <sys/resource.h>

#include <csignal>
#include <ctime>
#include <string>

using namespace kivfuzz;

namespace {

enum Op : int {
    do_read, di_read, ai_read, do_write,
    model_first,
    line_exchange = model_first + mb::model_count,
    set_first, // three bit-window writes
    get_first = set_first + 3, // three bit-window reads
    connect_refused = get_first + 3,
    connect_stalled,
    close_handle,
    op_count
};

constexpr std::string_view keys[] = {"u8_povp", "ai_en", "tc_en"};

// A one-shot timer whose signal ends the wait in progress on this thread.
// Its handler does nothing; a real-time signal, since libFuzzer keeps
// SIGALRM and SIGUSR1/2 for itself.
class Interrupt {
public:
    Interrupt()
    {
        struct sigaction sa{};
        sa.sa_handler = +[](int) {};
        sigemptyset(&sa.sa_mask);
        KIV_FUZZ_CHECK(::sigaction(SIGRTMIN + 2, &sa, nullptr) == 0);
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGRTMIN + 2;
        ev._sigev_un._tid = ::gettid();
        KIV_FUZZ_CHECK(::timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0);
    }
    void arm(bool on) { set(on ? 1000000 : 0); }
    void disarm() { set(0); }

private:
    void set(long ns)
    {
        itimerspec t{};
        t.it_value.tv_nsec = ns;
        KIV_FUZZ_CHECK(::timer_settime(timer_, 0, &t, nullptr) == 0);
    }
    timer_t timer_{};
};

// The number the next descriptor gets: a failed connect leaves none open.
int next_descriptor()
{
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    return fd;
}

// While it lives, the process may open no further descriptor.
class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(bool on) : on_(on)
    {
        KIV_FUZZ_CHECK(::getrlimit(RLIMIT_NOFILE, &before_) == 0);
        rlimit none = before_;
        none.rlim_cur = static_cast<rlim_t>(next_descriptor());
        KIV_FUZZ_CHECK(!on_ || ::setrlimit(RLIMIT_NOFILE, &none) == 0);
    }
    ~DescriptorsUsedUp()
    {
        if (on_)
            ::setrlimit(RLIMIT_NOFILE, &before_);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp &) = delete;
    DescriptorsUsedUp &operator=(const DescriptorsUsedUp &) = delete;

private:
    bool on_;
    rlimit before_{};
};

class Sequence {
public:
    Sequence(Listeners &net, Interrupt &interrupt, int handle)
        : net_(net), interrupt_(interrupt), handle_(handle), module_(net.accept_module(), handle)
    {
    }
    ~Sequence()
    {
        module_.reset();
        if (!closed_)
            KIV_Close(handle_);
    }
    Sequence(const Sequence &) = delete;
    Sequence &operator=(const Sequence &) = delete;

    void step(Input &in)
    {
        const int op = in.u8() % op_count;
        const std::uint8_t flags = in.u8();
        for (int n = in.u8() % 4; n > 0; --n)
            module_.send(in.bytes(in.u8()));
        if (flags & 1)
            module_.hang_up();
        if (flags & 2)
            module_.reset();
        minus_ = flags & 4;
        interrupted_ = (flags & 8) && !minus_;
        timeout_ = minus_ ? -1 : interrupted_ ? 20 : 0;
        waiting_ = closed_ ? 0 : module_.arrived();

        if (op < do_write)
            read(op, in);
        else if (op == do_write)
            write(in);
        else if (op < line_exchange)
            model(op - model_first, in);
        else if (op == line_exchange)
            line(in);
        else if (op < get_first)
            set_bits(keys[op - set_first], in);
        else if (op < connect_refused)
            get_bits(keys[op - get_first], in);
        else if (op == close_handle)
            close();
        else
            connect(op == connect_stalled, flags, in);
    }

private:
    // The failure of an exchange whose receive took nothing: the send's
    // (closed handle, reset connection), the wait's, or what it waited for.
    bool no_reply(int rc) const
    {
        if (closed_)
            return rc == EBADF;
        if (module_.was_reset())
            return rc == ECONNRESET || rc == EPIPE;
        if (minus_)
            return rc == EINVAL;
        if (module_.hung_up())
            return rc == KIV_ERR_DISCONNECTED;
        // Any signal ends a wait that sleeps: ours, or libFuzzer's SIGALRM.
        return rc == KIV_ERR_TIMEOUT || (timeout_ > 0 && rc == EINTR);
    }

    // Runs a call with the signal armed when the input says, then gives
    // what the module received and what the call took from its stream
    // (at most limit bytes). sends: the call has bytes to send.
    template <typename Call>
    int run(Call call, Bytes &sent, Bytes &took, std::size_t limit, bool sends = true)
    {
        interrupt_.arm(interrupted_);
        const int rc = call();
        interrupt_.disarm();
        KIV_FUZZ_CHECK(is_result(rc));
        sent = module_.sent();
        took = closed_ ? Bytes{} : module_.took(waiting_);
        KIV_FUZZ_CHECK(took.size() <= limit);
        // A request the module can read went out unless an argument was refused.
        const bool reachable = !closed_ && !module_.was_reset();
        KIV_FUZZ_CHECK(!reachable || !sends || rc == KIV_ERR_PARAM || !sent.empty());
        return rc;
    }

    auto no_reply_fn() const
    {
        return [this](int rc) { return no_reply(rc); };
    }

    // The module cannot read what a configuration call sent once the
    // connection is gone: all that is left to check is that it took
    // nothing, stored nothing and failed as its send does.
    bool unreachable(int rc, bool refused, int count_out, const Buffer &data) const
    {
        if (!closed_ && !module_.was_reset())
            return false;
        KIV_FUZZ_CHECK(refused ? rc == KIV_ERR_PARAM : no_reply(rc));
        KIV_FUZZ_CHECK(count_out == 0 && untouched(data));
        return true;
    }

    void read(int op, Input &in)
    {
        static constexpr std::uint8_t fns[] = {mb::read_coils, mb::read_inputs, mb::read_registers};
        const int start = in.u16();
        const int quantity = in.u16();
        const int size = std::clamp(in.small_or_any(), -2, 300);
        Buffer buf(size);
        int len = -1;
        Bytes sent, took;
        const int rc = run(
            [&] {
                auto fn = op == 0 ? KIV_DO_Read : op == 1 ? KIV_DI_Read : KIV_AI_Read;
                return fn(handle_, timeout_, start, quantity, buf.data(), size, &len);
            },
            sent, took, op == 2 ? mb::register_frame : mb::bit_frame);
        mb::check_read(fns[op], start, quantity, size, rc, len, buf, sent, took, no_reply_fn());
    }

    void write(Input &in)
    {
        const int start = in.u16();
        const int quantity = static_cast<std::int16_t>(in.u16());
        const int len = std::clamp(in.small_or_any(), -2, 21);
        Buffer data(len);
        const Bytes values = in.bytes(data.size());
        std::copy(values.begin(), values.end(), data.data());
        const Bytes original(data.data(), data.data() + data.size());
        Bytes sent, took;
        const int rc = run(
            [&] { return KIV_DO_Write(handle_, timeout_, start, quantity, data.data(), len); },
            sent, took, mb::bit_frame);
        mb::check_write(start, quantity, original, rc, data, sent, took, no_reply_fn());
    }

    void model(int op, Input &in)
    {
        mb::ModelCall c;
        c.op = op;
        c.first = in.u8();
        c.count = in.u8();
        c.value = in.u8();
        c.size = std::clamp(in.small_or_any(), -2, 300);
        const auto request = mb::model_request(c);
        const bool registers = request && (*request)[7] == mb::read_registers;
        mb::ModelResult r(c.size);
        Bytes sent, took;
        run(
            [&] {
                mb::call_model(c, handle_, timeout_, r);
                return r.rc;
            },
            sent, took, registers ? mb::register_frame : mb::bit_frame);
        mb::check_model(c, r, sent, took, no_reply_fn());
    }

    // request_response: the answer is exactly what its receive took.
    void line(Input &in)
    {
        const Bytes raw = in.bytes(in.u8() % 40);
        const std::string text(raw.begin(), raw.end());
        const std::string request = text.substr(0, text.find('\0'));
        Buffer answer(257);
        int len = -1;
        Bytes sent, took;
        const int rc = run(
            [&] {
                return request_response(handle_, timeout_, request.c_str(),
                                        reinterpret_cast<char *>(answer.data()), &len);
            },
            sent, took, 256, !request.empty());
        if (!sent.empty())
            KIV_FUZZ_CHECK(std::string(sent.begin(), sent.end()) == request);
        if (took.empty()) {
            KIV_FUZZ_CHECK(no_reply(rc) && len == -1 && untouched(answer));
            return;
        }
        KIV_FUZZ_CHECK(rc == KIV_OK && len == static_cast<int>(took.size()));
        KIV_FUZZ_CHECK(std::equal(took.begin(), took.end(), answer.data()));
        KIV_FUZZ_CHECK(answer[took.size()] == 0);
    }

    void set_bits(std::string_view key, Input &in)
    {
        const int first = in.small_or_any();
        const int count = in.small_or_any();
        const int value = in.i32();
        const int size = std::clamp(in.small_or_any(), 0, 64);
        Buffer data(size);
        int count_out = -1;
        Bytes sent, took;
        const int rc = run(
            [&] {
                auto fn = key == "u8_povp" ? KIV_Cfg_Set_DO_PowerOnValue
                          : key == "ai_en" ? KIV_Cfg_Set_AI_Enable
                                           : KIV_Cfg_Set_TC_Enable;
                return fn(handle_, timeout_, first, count, value, data.data(), size, &count_out);
            },
            sent, took, 2 * 256);
        if (unreachable(rc, !cfg::window_ok(first, count), count_out, data))
            return;
        const auto lines = cfg::split_lines(sent);
        const auto answers = cfg::stream_answers(took, lines.size() <= 1, true);
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_set_bits(key, first, count, value, lines, answers, rc, count_out, &data,
                                no_reply_fn(), r);
        });
    }

    void get_bits(std::string_view key, Input &in)
    {
        const int first = in.small_or_any();
        const int count = in.small_or_any();
        const int size = std::clamp(in.small_or_any(), -2, 64);
        Buffer data(size);
        int count_out = -1;
        Bytes sent, took;
        const int rc = run(
            [&] {
                auto fn = key == "u8_povp" ? KIV_Cfg_Get_DO_PowerOnValue
                          : key == "ai_en" ? KIV_Cfg_Get_AI_Enable
                                           : KIV_Cfg_Get_TC_Enable;
                return fn(handle_, timeout_, first, count, data.data(), size, &count_out);
            },
            sent, took, 256);
        if (unreachable(rc, !cfg::window_ok(first, count) || size < 1, count_out, data))
            return;
        const auto answers = cfg::stream_answers(took, true, false);
        cfg::either_reading([&](cfg::Reading r) {
            cfg::check_get_bits(key, first, count, cfg::split_lines(sent), answers, rc, count_out,
                                data, no_reply_fn(), r);
        });
    }

    // KIV_Close, twice: the second finds the handle closed and still says
    // KIV_OK. Every later exchange fails in its send.
    void close()
    {
        // A module that sent its FIN would wait in TIME_WAIT for a minute
        // after the library's; reset, it leaves nothing behind.
        if (module_.hung_up())
            module_.reset();
        KIV_FUZZ_CHECK(KIV_Close(handle_) == KIV_OK && KIV_Close(handle_) == KIV_OK);
        closed_ = true;
        module_.forget_handle();
    }

    // A connect refused at once, one that stays in progress until its
    // deadline or a signal, or one without a socket; by KIV_Connect or by
    // the login, which goes no further. No handle is written, no socket
    // stays.
    void connect(bool stalled, std::uint8_t flags, Input &in)
    {
        const int ms = minus_ ? 0 : interrupted_ ? 20 : stalled ? in.u8() % 3 : 1000;
        const int port = stalled ? net_.stalled_port() : net_.refused_port();
        const bool login = flags & 16;
        const bool used_up = flags & 32;
        const bool null = login && (flags & 64);
        const int next = next_descriptor();
        int handle = -7;
        int rc = 0;
        {
            const DescriptorsUsedUp none(used_up);
            interrupt_.arm(interrupted_ && stalled);
            rc = login ? KIV_Cfg_Login("127.0.0.1", port, ms, null ? nullptr : "", &handle)
                       : KIV_Connect("127.0.0.1", port, ms, &handle);
            interrupt_.disarm();
        }
        KIV_FUZZ_CHECK(handle == -7 && next_descriptor() == next);
        if (null)
            KIV_FUZZ_CHECK(rc == KIV_ERR_PARAM);
        else if (used_up)
            KIV_FUZZ_CHECK(rc == EMFILE);
        else if (stalled)
            KIV_FUZZ_CHECK(rc == KIV_ERR_TIMEOUT || (ms > 0 && rc == EINTR));
        else
            KIV_FUZZ_CHECK(rc == ECONNREFUSED || (ms == 0 && rc == KIV_ERR_TIMEOUT));
    }

    Listeners &net_;
    Interrupt &interrupt_;
    int handle_;
    TcpModule module_;
    bool closed_ = false;
    bool minus_ = false;
    bool interrupted_ = false;
    int timeout_ = 0;
    std::size_t waiting_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Listeners net;
    static Interrupt interrupt;
    KIV_FUZZ_CHECK(KIV_Init() == KIV_OK);
    Input in(data, size);
    int handle = -1;
    int rc = 0;
    {
        const AlarmHeld held;
        rc = KIV_Connect("127.0.0.1", net.port(), 10000, &handle);
    }
    KIV_FUZZ_CHECK(rc == KIV_OK);
    Sequence sequence(net, interrupt, handle);
    for (int n = 0; n < 16 && !in.done(); ++n)
        sequence.step(in);
    return 0;
}
