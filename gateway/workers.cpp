#include "workers.h"

#include <system_error>
#include <thread>

namespace gateway {

Workers::Workers(std::size_t threads) : wanted_(threads) {}

Workers::~Workers()
{
    shut();
}

bool Workers::run(std::function<void()> job)
{
    {
        std::lock_guard lock(queue_->mu);
        if (queue_->shut)
            return false;
        queue_->jobs.push_back(std::move(job));
    }
    queue_->cv.notify_one();
    // Started on first need: a gateway without settings or host names has
    // no such thread.
    if (started_ < wanted_) {
        try {
            std::thread(serve, queue_).detach();
            ++started_;
        } catch (const std::system_error &) {
            if (started_ == 0) {
                std::lock_guard lock(queue_->mu);
                queue_->jobs.pop_back();
                return false;
            }
        }
    }
    return true;
}

void Workers::shut()
{
    {
        std::lock_guard lock(queue_->mu);
        queue_->shut = true;
        queue_->jobs.clear();
    }
    queue_->cv.notify_all();
}

void Workers::serve(std::shared_ptr<Queue> q)
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(q->mu);
            q->cv.wait(lock, [&] { return q->shut || !q->jobs.empty(); });
            if (q->shut)
                return;
            job = std::move(q->jobs.front());
            q->jobs.pop_front();
        }
        job();
    }
}

} // namespace gateway
