// A scripted module on 127.0.0.1 at an ephemeral port. It accepts one
// connection and runs its script on a thread of its own: expect exact bytes
// (a mismatch fails the test with both sides in hex), answer exact bytes now
// or later, whole or in pieces, close, or stay silent. Every wait is bounded
// and the peer stops by itself when the test ends.
#pragma once

#include "bytes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

class FakePeer {
public:
    // backlog 0 with the queue filled (see fill_backlog) leaves later SYNs
    // unanswered: a connect that never completes.
    explicit FakePeer(int backlog = 4);
    ~FakePeer();
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    std::uint16_t port() const { return port_; }
    static constexpr const char *address = "127.0.0.1";

    // Script steps, run in order once a connection is accepted.
    FakePeer &expect(Bytes b);
    FakePeer &send(Bytes b, Ms delay = 0ms);
    FakePeer &send_in_pieces(Bytes b, std::vector<std::size_t> piece_sizes, Ms gap = 20ms);
    FakePeer &close();
    // Closes with an RST (linger 0): the client's receive fails.
    FakePeer &reset();
    // The client closes its end without sending anything more.
    FakePeer &expect_closed();
    // Closes this connection if the script left it open and takes the
    // client's next one: the later steps run on that. A reconnect.
    FakePeer &accept_next();
    // After the last step the connection stays open and silent until the
    // client closes it or the peer is destroyed.

    // Accepts one connection and runs the script on the peer's thread.
    void start();
    // Waits until n steps have run (the peer accepted: 0 steps, after start).
    bool wait_steps(std::size_t n, Ms limit = 5s);
    // Joins the thread and reports every script failure to the test.
    void finish();

    // Fills the accept queue of a backlog-0 peer, so that the next connect
    // is never answered. Returns false if the queue did not fill.
    bool fill_backlog();

private:
    struct Step {
        enum Kind { expect, send, close, reset, expect_closed, accept } kind;
        Bytes bytes;
        Ms delay{0};
        std::vector<std::size_t> pieces;
    };

    void run();
    // Waits for the next client and accepts it; -1 (a failure) if none came.
    int accept_client();
    bool run_step(int conn, const Step &s);
    // Waits for conn to be readable (or the stop pipe); false on stop/limit.
    bool wait_readable(int conn, Ms limit);
    bool pause(Ms d);
    void fail(std::string why);

    int listener_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::vector<Step> script_;
    std::vector<int> backlog_fillers_;
    std::thread thread_;

    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t steps_done_ = 0;
    bool accepted_ = false;
    std::vector<std::string> failures_;
};

} // namespace kivtest
