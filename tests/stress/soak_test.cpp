// A long run against the simulator: 100 000 exchanges of every kind and
// 5 000 connect-close cycles, every one KIV_OK, with no descriptor and no
// memory left behind. The library allocates nothing and owns nothing but
// the sockets it hands out, so the counts must come back to where they were.
#include "modules.h"
#include "proc_usage.h"

#include "kiv.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace kivstress;

namespace {

constexpr int exchanges = 100000;
constexpr int cycles = 5000;
constexpr int timeout_ms = 2000;
// Resident memory may move a little (the test's own output, page cache of
// the C library); a leak per exchange or per cycle would be megabytes.
constexpr long rss_slack_kib = 2048;

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto *m : {&m7301, &m7302})
            ASSERT_TRUE(m->sim->start()) << m->sim->error();
    }

    Module m7301 = make_module(Model::zrm7301, 0, "127.0.2.1");
    Module m7302 = make_module(Model::zrm7302, 0, "127.0.2.2");
};

// Fails with the name and the code of the first call that did not give KIV_OK.
struct Tally {
    std::map<std::string, int> failures;
    void check(const char *what, int rc)
    {
        if (rc != KIV_OK)
            ++failures[std::string(what) + " -> " + std::to_string(rc)];
    }
};

TEST_F(Soak, HundredThousandExchangesAllOkWithNothingLeftBehind)
{
    int ai = -1, io = -1, cfg = -1;
    ASSERT_EQ(KIV_Connect(m7301.sim->address().c_str(), m7301.sim->modbus_port(), timeout_ms, &ai),
              KIV_OK);
    ASSERT_EQ(KIV_Connect(m7302.sim->address().c_str(), m7302.sim->modbus_port(), timeout_ms, &io),
              KIV_OK);
    ASSERT_EQ(KIV_Cfg_Login(m7301.sim->address().c_str(), m7301.sim->config_port(), timeout_ms, "",
                            &cfg),
              KIV_OK);

    Tally tally;
    unsigned char buf[256];
    int len = 0;
    long rss_start = 0;
    int fds_start = 0;
    for (int i = 0; i < exchanges; ++i) {
        // Measured after a warm-up, once every path has run once.
        if (i == 1000) {
            rss_start = resident_kib();
            fds_start = open_descriptors();
        }
        switch (i % 8) {
        case 0:
            tally.check("AI_Read", KIV_AI_Read(ai, timeout_ms, 256, 24, buf, sizeof buf, &len));
            break;
        case 1:
            tally.check("ZRM_7301_AI_Read",
                        KIV_ZRM_7301_AI_Read(ai, timeout_ms, 1, 8, buf, sizeof buf, &len));
            break;
        case 2: {
            unsigned char bits = static_cast<unsigned char>(i);
            tally.check("DO_Write", KIV_DO_Write(io, timeout_ms, 0, 8, &bits, 1));
            break;
        }
        case 3:
            tally.check("DO_Read", KIV_DO_Read(io, timeout_ms, 0, 8, buf, sizeof buf, &len));
            break;
        case 4:
            tally.check("DI_Read", KIV_DI_Read(io, timeout_ms, 0, 16, buf, sizeof buf, &len));
            break;
        case 5:
            tally.check("ZRM_7302_Sensor_Read",
                        KIV_ZRM_7302_Sensor_Read(io, timeout_ms, buf, sizeof buf, &len));
            break;
        case 6:
            tally.check("ZRM_7302_DO_Write_bit",
                        KIV_ZRM_7302_DO_Write_bit(io, timeout_ms, 3, static_cast<unsigned char>(i & 1)));
            break;
        case 7:
            tally.check("Cfg_Get_AI_Enable",
                        KIV_Cfg_Get_AI_Enable(cfg, timeout_ms, 0, 8, buf, sizeof buf, &len));
            break;
        }
    }
    EXPECT_EQ(open_descriptors(), fds_start);
    EXPECT_LE(resident_kib(), rss_start + rss_slack_kib);
    KIV_Cfg_Exit(cfg);
    KIV_Close(io);
    KIV_Close(ai);
    for (const auto &[what, n] : tally.failures)
        ADD_FAILURE() << what << ": " << n << " times";
}

TEST_F(Soak, FiveThousandConnectCloseCyclesLeaveNoDescriptor)
{
    Tally tally;
    unsigned char buf[64];
    int len = 0;
    const int fds_start = open_descriptors();
    long rss_start = 0;
    for (int i = 0; i < cycles; ++i) {
        if (i == 100)
            rss_start = resident_kib();
        int h = -1;
        // Every fifth cycle a configuration dialogue, the others Modbus; each
        // makes one exchange so that the connection is known to work.
        if (i % 5 == 4) {
            const int rc = KIV_Cfg_Login(m7301.sim->address().c_str(), m7301.sim->config_port(),
                                         timeout_ms, "", &h);
            tally.check("Cfg_Login", rc);
            if (rc == KIV_OK) {
                tally.check("Cfg_Get_AI_Enable",
                            KIV_Cfg_Get_AI_Enable(h, timeout_ms, 0, 8, buf, sizeof buf, &len));
                KIV_Cfg_Exit(h);
            }
        } else {
            const int rc =
                KIV_Connect(m7302.sim->address().c_str(), m7302.sim->modbus_port(), timeout_ms, &h);
            tally.check("Connect", rc);
            if (rc == KIV_OK) {
                tally.check("DI_Read", KIV_DI_Read(h, timeout_ms, 0, 16, buf, sizeof buf, &len));
                KIV_Close(h);
            }
        }
    }
    EXPECT_EQ(open_descriptors(), fds_start);
    EXPECT_LE(resident_kib(), rss_start + rss_slack_kib);
    for (const auto &[what, n] : tally.failures)
        ADD_FAILURE() << what << ": " << n << " times";
}

} // namespace
