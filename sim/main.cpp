// zrm-sim: a ZRM_7301, ZRM_7302 or ZRM_7303 remote I/O module on this
// machine, for development and end-to-end tests of programs that talk to one.
#include "log.h"
#include "options.h"
#include "server.h"
#include "simulator.h"

#include <cstdio>
#include <string>

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

    Simulator sim(o);
    if (!sim.init(message)) {
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 2;
    }
    if (!Server::block_signals()) {
        std::fprintf(stderr, "zrm-sim: cannot block SIGINT and SIGTERM\n");
        return 1;
    }
    Server server(sim);
    if (!server.listen(message)) {
        std::fprintf(stderr, "zrm-sim: %s\n", message.c_str());
        return 1;
    }
    std::printf("zrm-sim %s ready modbus %s:%d config %s:%d\n", sim.model().name, o.address.c_str(),
                server.modbus_port(), o.address.c_str(), server.config_port());
    std::fflush(stdout);
    return server.run();
}
