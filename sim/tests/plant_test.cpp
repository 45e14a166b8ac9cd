// Many modules in one process: --modules on consecutive addresses, a
// --plant file with a fault switch per line, --wall-clock values that a test
// can compute, and --slow-every.
#include "clients.h"
#include "sim_process.h"

#include "settings.h"
#include "values.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

const Bytes read_ai_records = hex("00 01 00 00 00 06 00 03 01 00 00 18");

long ms_since(Clock::time_point t0)
{
    return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - t0).count());
}

// A plant file for one test, removed at its end.
class PlantFile {
public:
    explicit PlantFile(const std::string &text)
    {
        char name[] = "/tmp/zrm-sim-plant.XXXXXX";
        int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~PlantFile() { ::unlink(path_.c_str()); }
    PlantFile(const PlantFile &) = delete;
    PlantFile &operator=(const PlantFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The eight AI values of a 7301 reply to read_ai_records, one digit after
// the point as live values have.
std::vector<double> ai_values(const Bytes &reply)
{
    std::vector<double> v;
    if (reply.size() != 9 + 48)
        return v;
    for (int ch = 0; ch < 8; ++ch) {
        const std::uint8_t *r = &reply[9 + 6 * static_cast<std::size_t>(ch)];
        double value = ((r[2] << 8) | r[3]) + ((r[4] << 8) | r[5]) / 10.0;
        v.push_back(r[1] != 0 ? -value : value);
    }
    return v;
}

} // namespace

TEST(Modules, EveryAddressIsAModuleWithValuesAndOutputsOfItsOwn)
{
    Sim sim({"--modules", "3", "--model", "7301", "--address", "127.0.10.1"});
    sim.expect_modules(3);
    ASSERT_TRUE(sim.start()) << sim.error();
    ASSERT_EQ(sim.modules().size(), 3u);
    std::vector<std::vector<double>> values;
    for (int i = 0; i < 3; ++i) {
        const Ready &m = sim.modules()[static_cast<std::size_t>(i)];
        EXPECT_EQ(m.model, "7301");
        EXPECT_EQ(m.address, "127.0.10." + std::to_string(i + 1));
        RawModbus c(m.modbus_port, m.address.c_str());
        values.push_back(ai_values(c.exchange(read_ai_records)));
        ASSERT_EQ(values.back().size(), 8u) << m.address;
    }
    EXPECT_NE(values[0], values[1]);
    EXPECT_NE(values[1], values[2]);

    const Ready &first = sim.modules()[0], &second = sim.modules()[1];
    RawModbus a(first.modbus_port, first.address.c_str());
    RawModbus b(second.modbus_port, second.address.c_str());
    EXPECT_EQ(to_hex(a.exchange(hex("00 02 00 00 00 06 00 05 00 00 ff 00"))), "00 02 00 00 00 06 00 05 00 00 ff 00");
    EXPECT_EQ(to_hex(a.exchange(hex("00 03 00 00 00 06 00 01 00 00 00 01"))), "00 03 00 00 00 04 00 01 01 01");
    EXPECT_EQ(to_hex(b.exchange(hex("00 03 00 00 00 06 00 01 00 00 00 01"))), "00 03 00 00 00 04 00 01 01 00")
        << "the write went to the first module only";
    LineConn config(second.config_port, second.address.c_str());
    EXPECT_TRUE(config.login());

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.more_stdout(), "");
}

TEST(Modules, AddressesCountOnPastTheLastOctetButStayOnLoopback)
{
    Sim sim({"--modules", "2", "--model", "7303", "--address", "127.0.10.255"});
    sim.expect_modules(2);
    ASSERT_TRUE(sim.start()) << sim.error();
    EXPECT_EQ(sim.modules()[1].address, "127.0.11.0");
    RawModbus c(sim.modules()[1].modbus_port, "127.0.11.0");
    EXPECT_EQ(c.exchange(hex("00 01 00 00 00 06 00 02 00 00 00 02")).size(), 10u);

    RunResult r = run_sim({"--modules", "3", "--model", "7303", "--address", "127.255.255.254"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "zrm-sim: --modules 3 from 127.255.255.254: the addresses must stay within 127.0.0.0/8\n");
}

TEST(Plant, FaultSwitchesPickSingleModules)
{
    PlantFile file("# a delayed module, one that answers exceptions, a normal one\n"
                   "--model 7302 --address 127.0.20.1 --modbus-port 0 --config-port 0 --delay-ms 400\n"
                   "\n"
                   "  --model 7303 --address 127.0.20.2 --modbus-port 0 --config-port 0 --exception 4\n"
                   "--model 7301 --address=127.0.20.3 --modbus-port 0 --config-port 0 --ai 1=1.5\r\n");
    Sim sim({"--plant", file.path()});
    sim.expect_modules(3);
    ASSERT_TRUE(sim.start()) << sim.error();
    const auto &m = sim.modules();
    EXPECT_EQ(m[0].model + m[1].model + m[2].model, "730273037301");

    RawModbus slow(m[0].modbus_port, m[0].address.c_str());
    RawModbus failing(m[1].modbus_port, m[1].address.c_str());
    RawModbus normal(m[2].modbus_port, m[2].address.c_str());
    auto t0 = Clock::now();
    EXPECT_EQ(slow.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
    EXPECT_GE(ms_since(t0), 390);
    t0 = Clock::now();
    EXPECT_EQ(to_hex(failing.exchange(hex("00 00 00 00 00 06 00 02 00 00 00 02"))), "00 00 00 00 00 03 00 82 04");
    auto reply = normal.exchange(read_ai_records);
    EXPECT_LT(ms_since(t0), 300) << "only the first module is delayed";
    ASSERT_EQ(reply.size(), 57u);
    EXPECT_EQ(to_hex(Bytes(reply.begin() + 9, reply.begin() + 15)), "01 00 00 01 00 05");
}

TEST(Plant, BadFileOrLineStopsTheStartWithItsReason)
{
    PlantFile good("--model 7301 --modbus-port 0 --config-port 0\n");
    PlantFile bad("--model 7301 --modbus-port 0 --config-port 0\n# next\n--model 7302 --delay-ms soon\n");
    PlantFile verbose_line("--model 7301 -v\n");
    PlantFile empty("# nothing\n\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--plant", bad.path()}, "plant file " + bad.path() + ", line 3: --delay-ms soon: milliseconds 0..3600000"},
        {{"--plant", verbose_line.path()},
         "plant file " + verbose_line.path() + ", line 1: --verbose is for the whole process: give it on the command line"},
        {{"--plant", empty.path()}, "plant file " + empty.path() + ": no modules in it"},
        {{"--plant", "/nonexistent/plant"}, "plant file /nonexistent/plant: cannot read it: No such file or directory"},
        {{"--plant", good.path(), "--delay-ms", "5"},
         "--delay-ms belongs in the plant file's lines, not on the command line with --plant"},
        {{"--plant", good.path(), "--modules", "2"}, "--plant and --modules exclude each other"},
        {{"--modules", "2", "--model", "7301", "--state", "/tmp/s"},
         "--state names one module's file: give each module its own in a --plant file"},
    };
    for (const auto &[args, message] : cases) {
        RunResult r = run_sim(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "zrm-sim: " + message + "\n");
    }
}

TEST(WallClock, LiveValuesAreThoseOfLiveTimeAtTheMomentAsked)
{
    Sim sim({"--modules", "3", "--model", "7301", "--address", "127.0.10.1", "--wall-clock"});
    sim.expect_modules(3);
    ASSERT_TRUE(sim.start()) << sim.error();
    const zrmsim::Settings fresh;
    for (int i = 0; i < 3; ++i) {
        const Ready &m = sim.modules()[static_cast<std::size_t>(i)];
        RawModbus c(m.modbus_port, m.address.c_str());
        double before = zrmsim::wall_clock_seconds();
        std::vector<double> got = ai_values(c.exchange(read_ai_records));
        double after = zrmsim::wall_clock_seconds();
        ASSERT_EQ(got.size(), 8u);
        for (int ch = 0; ch < 8; ++ch) {
            auto value_at = [&](double t) {
                zrmsim::Reading r = zrmsim::live_ai(zrmsim::range_code(fresh, ch), ch, zrmsim::live_time(i, t));
                double v = r.integer + r.fraction / 10.0;
                return r.negative ? -v : v;
            };
            double low = std::min(value_at(before), value_at(after));
            double high = std::max(value_at(before), value_at(after));
            // One step of 0.1 either way, for rounding at the edges.
            EXPECT_GE(got[static_cast<std::size_t>(ch)], low - 0.101) << "module " << i << " channel " << ch + 1;
            EXPECT_LE(got[static_cast<std::size_t>(ch)], high + 0.101) << "module " << i << " channel " << ch + 1;
        }
    }
}

TEST(SlowEvery, OnlyEveryKthAnswerOfAConnectionIsLate)
{
    Sim sim({"--model", "7302", "--delay-ms", "400", "--slow-every", "3"});
    ASSERT_TRUE(sim.start()) << sim.error();
    RawModbus m(sim.modbus_port());
    for (int n = 1; n <= 6; ++n) {
        auto t0 = Clock::now();
        EXPECT_EQ(m.exchange(hex("00 00 00 00 00 06 00 01 00 00 00 08")).size(), 10u);
        if (n % 3 == 0)
            EXPECT_GE(ms_since(t0), 390) << "answer " << n;
        else
            EXPECT_LT(ms_since(t0), 300) << "answer " << n;
    }
    LineConn c(sim.config_port());
    auto t0 = Clock::now();
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_LT(ms_since(t0), 300) << "counted per connection";
    t0 = Clock::now();
    EXPECT_EQ(c.ask("G:u8_povp=\r\n"), "A:u8_povp=0\r\n");
    EXPECT_GE(ms_since(t0), 390) << "the third answer, the login's included";
}
