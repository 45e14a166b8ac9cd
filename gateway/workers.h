// A few threads for what can only be done by waiting: a module's declared
// settings go through the library's blocking configuration dialogue, and a
// host name through the resolver. The loop never waits for them: a job
// posts its outcome back to the loop's inbox. At stop the threads are not
// waited for; one in a blocking call ends with the process, and what it
// posts then is dropped.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace gateway {

class Workers {
public:
    // Enough for a few modules' settings at once; a plant that comes back
    // together waits its turn.
    static constexpr std::size_t gateway_threads = 4;

    // threads: how many jobs may wait at once.
    explicit Workers(std::size_t threads);
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Runs job on a worker thread; false when no thread could be started.
    bool run(std::function<void()> job);
    // No more jobs; those queued are dropped.
    void shut();

private:
    struct Queue {
        std::mutex mu;
        std::condition_variable cv;
        std::deque<std::function<void()>> jobs;
        bool shut = false;
    };
    static void serve(std::shared_ptr<Queue> q);

    std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
    std::size_t wanted_;
    std::size_t started_ = 0;
};

} // namespace gateway
