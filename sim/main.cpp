// zrm-sim: ZRM_7301, ZRM_7302 or ZRM_7303 remote I/O modules on this
// machine, one or a whole plant of them, for development and end-to-end
// tests of programs that talk to them.
#include "descriptors.h"
#include "log.h"
#include "options.h"
#include "plant.h"
#include "plant_options.h"
#include "server.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    using namespace zrmsim;
    // First of all, before this process opens anything of its own.
    close_inherited_descriptors();
    Options o;
    std::string message;
    switch (parse_options(argc, argv, o, message)) {
    case ParseResult::help:
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    case ParseResult::version:
        std::fputs(version_text(), stdout);
        return 0;
    case ParseResult::error:
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 2;
    case ParseResult::run:
        break;
    }
    set_verbose(o.verbose);
    std::vector<Options> modules;
    if (!plant_modules(o, modules, message)) {
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 2;
    }
    const bool plant = serves_plant(o);
    if (plant) {
        // Two listeners and an event descriptor per module, three descriptors
        // per Modbus connection and one per configuration connection.
        raise_descriptor_limit();
        keep_low_descriptors_for_modbus();
    }

    Plant p(std::move(modules), plant);
    if (!p.init(message)) {
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 2;
    }
    if (!Server::block_signals()) {
        std::fprintf(stderr, "zrm-sim: cannot block SIGINT and SIGTERM\n");
        return 1;
    }
    if (!p.listen(message)) {
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 1;
    }
    p.print_ready();
    return p.run();
}
