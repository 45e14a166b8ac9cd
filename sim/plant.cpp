#include "plant.h"

#include "descriptors.h"
#include "log.h"
#include "server.h"
#include "simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace zrmsim {

namespace {

// Readable for good once written: every module's loop sees it.
void raise_stop(int fd)
{
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

} // namespace

Plant::Plant(std::vector<Options> modules, bool plant) : modules_(std::move(modules)), plant_(plant) {}

Plant::~Plant() = default;

bool Plant::init(std::string &error)
{
    for (const Options &o : modules_) {
        auto sim = std::make_unique<Simulator>(o);
        if (!sim->init(error)) {
            if (plant_)
                error = "module " + std::to_string(o.module_index) + " at " + o.address + ": " + error;
            return false;
        }
        std::string label =
            plant_ ? "module " + std::to_string(o.module_index) + " " + o.address + ": " : std::string();
        servers_.push_back(std::make_unique<Server>(*sim, std::move(label)));
        sims_.push_back(std::move(sim));
    }
    return true;
}

bool Plant::listen(std::string &error)
{
    for (auto &server : servers_)
        if (!server->listen(error))
            return false;
    return true;
}

void Plant::print_ready() const
{
    for (std::size_t i = 0; i < servers_.size(); ++i) {
        const std::string &address = modules_[i].address;
        std::printf("zrm-sim %s ready modbus %s:%d config %s:%d\n", sims_[i]->model().name, address.c_str(),
                    servers_[i]->modbus_port(), address.c_str(), servers_[i]->config_port());
    }
    std::fflush(stdout);
}

int Plant::run()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal_fd = move_above_select_limit(::signalfd(-1, &set, SFD_CLOEXEC));
    int stop_fd = move_above_select_limit(::eventfd(0, EFD_CLOEXEC));
    if (signal_fd < 0 || stop_fd < 0) {
        log_line(std::string("signalfd or eventfd: ") + std::strerror(errno));
        for (int fd : {signal_fd, stop_fd})
            if (fd >= 0)
                ::close(fd);
        return 1;
    }
    std::vector<int> status(servers_.size(), 0);
    std::vector<std::thread> loops;
    int failed = 0;
    try {
        for (std::size_t i = 0; i < servers_.size(); ++i)
            loops.emplace_back([this, i, stop_fd, &status] {
                status[i] = servers_[i]->run(stop_fd);
                // A module whose loop failed ends the whole plant, as it
                // ended the process of a lone module.
                if (status[i] != 0)
                    raise_stop(stop_fd);
            });
    } catch (const std::system_error &e) {
        log_line(std::string("no thread for a module's loop: ") + e.what());
        failed = 1;
        raise_stop(stop_fd);
    }
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    while (failed == 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            log_line(std::string("poll: ") + std::strerror(errno));
            failed = 1;
        } else if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto got = ::read(signal_fd, &info, sizeof info);
            vlog(std::string("stopping on ") + ::strsignal(static_cast<int>(info.ssi_signo)));
        } else if (fds[1].revents == 0) {
            continue;
        }
        break;
    }
    raise_stop(stop_fd);
    for (auto &t : loops)
        t.join();
    ::close(signal_fd);
    ::close(stop_fd);
    return std::max(failed, *std::max_element(status.begin(), status.end()));
}

} // namespace zrmsim
