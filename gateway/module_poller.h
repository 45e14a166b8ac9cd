// One module as the engine drives it: a small state machine on the loop's
// thread, never blocking. It polls the module's whole process image every
// interval on a non-blocking connection, one request at a time, each with a
// transaction id of its own and a deadline. A reply that comes after its
// deadline is known by its id and dropped, and the connection stays; what
// breaks the stream (a reset, a reply that cannot be framed, a run of
// timeouts) closes it, and a connect that fails waits out a backoff. Output
// commands wait in a bounded queue and run between two polls.
#pragma once

#include "backoff.h"
#include "config.h"
#include "log.h"
#include "loop.h"
#include "pipeline.h"
#include "settings.h"
#include "workers.h"

#include "kiv.hpp"
#include "kiv_frame.h"

#include "exchange.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace gateway {

// What a module's poller needs from the engine around it.
struct PollerContext {
    Loop &loop;
    Output &out;
    Workers &workers;
    ExchangeObserver *observer = nullptr;  // may be null
    // After a failed connect.
    Backoff backoff{std::chrono::milliseconds(500), std::chrono::milliseconds(4000)};
};

class ModulePoller final : public Watcher, public TimerTarget {
public:
    // Commands that may wait for a module: a flood beyond it is answered,
    // not stored.
    static constexpr std::size_t command_queue_limit = 16;
    // Timeouts in a row after which the connection is taken for broken.
    static constexpr int timeouts_that_close = 3;

    ModulePoller(std::size_t index, const ModuleConfig &m, PollerContext ctx);
    ~ModulePoller() override;
    ModulePoller(const ModulePoller &) = delete;
    ModulePoller &operator=(const ModulePoller &) = delete;

    // The first poll at first_poll, then one every interval; seq goes on
    // from the given one (a module that a reload changed keeps counting).
    void start(Clock::time_point first_poll, std::uint64_t seq = 0);
    std::uint64_t seq() const { return seq_; }
    // Queues a command (checked by the caller against the model); a full
    // queue answers EBUSY at once.
    void post(const OutputCommand &c);
    // Closes the connection; nothing more is handed to the outputs.
    void stop();

    void ready(std::uint32_t events) override;
    void expired(std::uint64_t tag) override;
    bool wanted(std::uint64_t tag) const override { return tag == timer_tag_; }

private:
    enum class Phase { idle, resolving, connecting, exchanging, settings, stopped };
    enum class Job { none, poll, command };

    void period_due(Clock::time_point now);
    void start_job(Job j);
    void connect();
    void open_socket();
    void connected();
    void connect_failed(int code);
    void send_step();
    void await_next();
    void on_readable();
    void stream_broken(int code);
    void on_reply(std::span<const unsigned char> frame);
    // at: when the reply arrived, or the step otherwise ended.
    void step_done(int code, std::span<const unsigned char> data, Clock::time_point at);
    void job_done(int code);
    void poll_done(int code);
    void publish_poll(int code);
    void start_settings();
    void settings_done(std::string report);
    void next_job();
    void close_connection();
    void set_online(bool online, int code);
    void rearm();
    // A debug line about this module; text() is not even called unless the
    // log shows debug lines (a late or failing module makes many).
    template <class F> void debug(F text) const
    {
        if (log_enabled(Level::debug))
            log(Level::debug, "module " + m_.name + ": " + std::string(text()));
    }

    const std::size_t index_;
    const ModuleConfig m_;  // its own: a reload replaces the configuration's
    const kiv::model_info &model_;
    PollerContext ctx_;
    const std::chrono::milliseconds interval_;

    Phase phase_ = Phase::idle;
    Job job_ = Job::none;
    bool poll_pending_ = false;   // a period came while a command or settings ran
    int fd_ = -1;
    std::string ip_;              // the address, or the name's last lookup

    // The poll schedule.
    Clock::time_point next_period_{};
    std::uint64_t seq_ = 0;
    std::uint64_t job_seq_ = 0;   // the period the running poll belongs to

    // The exchange in progress.
    std::size_t step_ = 0;
    Request request_{};
    std::uint16_t transaction_ = 0;  // the id of the reply awaited
    std::uint16_t next_id_ = 1;
    std::size_t in_flight_ = 0;      // requests sent whose replies are still due
    Clock::time_point sent_at_{};
    std::optional<Clock::time_point> deadline_;
    std::array<unsigned char, kiv::mb::max_frame_size> rx_{};
    Clock::time_point arrived_{};                      // the last bytes' arrival
    std::chrono::system_clock::time_point arrived_wall_{};
    std::size_t rx_len_ = 0;
    int timeouts_in_row_ = 0;

    ProcessImage image_;
    std::optional<PollResult> held_;  // a good poll waiting for the settings
    SaveState save_state_;            // what the last settings run left to do
    std::deque<OutputCommand> commands_;
    OutputCommand command_{};

    int online_ = -1;             // unknown at start
    int failed_polls_ = 0;        // in a row
    bool fresh_connection_ = false;  // connected since the last good poll
    Clock::time_point retry_at_{};
    int last_connect_code_ = 0;

    Clock::time_point armed_at_ = Clock::time_point::max();
    std::uint64_t timer_tag_ = 0;
};

} // namespace gateway
