// The modules of one process, each a simulator with its own server and main
// loop, started together and ended together by SIGINT or SIGTERM.
#pragma once

#include "options.h"

#include <memory>
#include <string>
#include <vector>

namespace zrmsim {

class Simulator;
class Server;

class Plant {
public:
    // modules as plant_modules gives them; plant: log lines name the module.
    Plant(std::vector<Options> modules, bool plant);
    ~Plant();
    Plant(const Plant &) = delete;
    Plant &operator=(const Plant &) = delete;

    // Reads the state files and sets up the maps; false with error if any
    // module cannot start (exit status 2).
    bool init(std::string &error);
    // Opens every module's listeners; false with error if one cannot listen
    // (exit status 1).
    bool listen(std::string &error);
    // One ready line per module, in module order, then a flush.
    void print_ready() const;
    // Serves until SIGINT or SIGTERM, or until a module's loop fails; the
    // exit status. Call Server::block_signals before init.
    int run();

private:
    std::vector<Options> modules_;
    bool plant_;
    std::vector<std::unique_ptr<Simulator>> sims_;
    std::vector<std::unique_ptr<Server>> servers_;
};

} // namespace zrmsim
