#include "poll_rows.h"
#include "prepare.h"
#include "report.h"
#include "run.h"

#include "common/signal_wait.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kivtool {

int run_poll(const Options &o)
{
    if (o.args.empty())
        return usage_error("poll: expected a read COMMAND: ai, tc, di, do or sensors");
    const Command *inner = find_command(o.args[0]);
    if (!inner || !inner->pollable)
        return usage_error("poll: " + o.args[0] + " is no read that poll repeats: ai, tc, di, do or sensors");
    if (o.save)
        return usage_error("--save: poll changes no setting");
    Prepared p = prepare(o, *inner, {o.args.begin() + 1, o.args.end()});
    if (!p.error.empty())
        return usage_error(p.error);

    // Ctrl-C ends a call in progress at once (EINTR) rather than after its
    // timeout, and a wait between rounds as soon as it comes.
    common::SignalWait stop({SIGINT, SIGTERM}, common::SignalWait::Delivery::any_time);
    // Waits up to ms or until a stop request; true when stopping.
    auto wait_or_stop = [&stop](long ms) {
        if (!stop.stop_requested() && ms > 0)
            stop.wait(static_cast<int>(ms));
        return stop.stop_requested();
    };
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto elapsed_ms = [&] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
    };
    Connections l(o, info(o.model));
    PollRows rows(o.csv);
    long rounds = 0, sent = 0, answered = 0, not_sent = 0, errors = 0;
    for (long round = 1; o.count == 0 || round <= o.count; ++round) {
        if (round > 1 && wait_or_stop((round - 1) * o.interval_ms - elapsed_ms()))
            break;
        if (stop.stop_requested())
            break;
        const long at = elapsed_ms();
        const std::string time = timestamp(o.utc);
        Outcome out;
        const bool open = open_service(l, inner->service, out);
        if (open)
            p.action(l, out);
        // A call that Ctrl-C interrupted is no round of its own.
        if (stop.stop_requested() && !out.ok && out.why.code.value() == EINTR)
            break;
        ++rounds;
        if (!open)
            ++not_sent;
        else
            ++sent;
        if (open && (out.ok || out.replied))
            ++answered;
        if (!out.ok)
            ++errors;
        bool written = true;
        if (o.json) {
            JsonObject extra;
            extra.num("round", round).str("time", time).num("elapsed_ms", at);
            written = print(o, inner->name, out, extra, "round " + std::to_string(round) + ": ");
        } else {
            rows.print(time, out.table);
            written = output_ok();
            if (!out.ok)
                error_line("round " + std::to_string(round) + ": " + failure_line(o, out));
        }
        // Nobody reads on: stop at once.
        if (!written)
            return exit_failed;
    }

    const long lost = sent - answered;
    const double loss = sent ? 100.0 * static_cast<double>(lost) / static_cast<double>(sent) : 0.0;
    char loss_text[32];
    std::snprintf(loss_text, sizeof loss_text, "%.1f", loss);
    if (o.json) {
        JsonObject s;
        s.num("rounds", rounds).num("sent", sent).num("answered", answered).num("lost", lost)
            .num("not_sent", not_sent).num("errors", errors).raw("loss_percent", loss_text);
        JsonObject j = envelope(o, "poll");
        j.str("poll", inner->name).raw("summary", s.text());
        std::fprintf(out_stream(), "%s\n", j.text().c_str());
    } else {
        // A CSV file holds the rows alone.
        std::fflush(out_stream());
        std::fprintf(o.csv ? stderr : out_stream(),
                     "--- %s %s %s: %ld rounds, %ld sent, %ld answered, %ld lost (%s%%), "
                     "%ld not sent (no connection), %ld errors\n",
                     o.address.c_str(), info(o.model).name, inner->name, rounds, sent, answered,
                     lost, loss_text, not_sent, errors);
    }
    const bool written = output_ok();
    return errors == 0 && written ? exit_ok : exit_failed;
}

} // namespace kivtool
