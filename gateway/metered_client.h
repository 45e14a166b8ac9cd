// The way every exchange of a poll goes, so that each is recorded once, in
// one place: its result and how long it took. A connect that an exchange
// needs first is made and recorded apart, as a connect, so that a connect
// timeout never shows as a slow exchange and a module that refuses
// connections shows as that.
#pragma once

#include "kiv.hpp"
#include "metrics.h"

#include <chrono>
#include <utility>

namespace gateway {

class MeteredClient {
public:
    // metrics may be null: then it is the client alone.
    MeteredClient(kiv::client &c, ModuleMetrics *metrics) : c_(c), metrics_(metrics) {}

    // As kiv::client::run.
    template <class F> auto run(F &&call) -> decltype(call(std::declval<const kiv::connection &>()))
    {
        using R = decltype(call(std::declval<const kiv::connection &>()));
        if (!metrics_)
            return c_.run(std::forward<F>(call));
        if (!c_.connected()) {
            auto opened = c_.open();
            metrics_->connect(opened.code());
            if (!opened)
                return R(opened.why());
        }
        const auto start = std::chrono::steady_clock::now();
        R r = c_.run(std::forward<F>(call));
        metrics_->exchange(r.code(), std::chrono::steady_clock::now() - start);
        return r;
    }

private:
    kiv::client &c_;
    ModuleMetrics *metrics_;
};

} // namespace gateway
