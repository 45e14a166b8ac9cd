// Only small regular files are read as the configuration or a file it
// names, whatever else stands at the path; and --check refuses what the
// start would stop at.
#include "config_files.h"
#include "gateway_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>

using namespace gwtest;
using namespace gateway;
namespace fs = std::filesystem;

namespace {

// A self-signed CA certificate (EC P-256), such as TLS could use.
const std::string test_ca = R"(-----BEGIN CERTIFICATE-----
MIIBgzCCASmgAwIBAgIUYh0irY6EqknKy/sHMl3vLqFoda8wCgYIKoZIzj0EAwIw
FjEUMBIGA1UEAwwLa2l2IHRlc3QgQ0EwIBcNMjYxMjEwMDg1MDEzWhgPMjEyNjEx
MTYwODUwMTNaMBYxFDASBgNVBAMMC2tpdiB0ZXN0IENBMFkwEwYHKoZIzj0CAQYI
KoZIzj0DAQcDQgAEQ2mg6a9YEL5+HggJhEyQRT25Rdk8AS0kePK8eGWfQ8yyzGCT
Xk89Vzzu/Bx8NIRmXEOY5fjHoZST6sJRMSQtCaNTMFEwHQYDVR0OBBYEFIN0vo/v
LScL3nIuuuYzan2H60wRMB8GA1UdIwQYMBaAFIN0vo/vLScL3nIuuuYzan2H60wR
MA8GA1UdEwEB/wQFMAMBAf8wCgYIKoZIzj0EAwIDSAAwRQIhALX1LZhtElOzm6SQ
fmwI96tKakzjdF1zhWJYbkoQfri6AiAqhVD/QjpGmrafBfm5my7bkyJr+4UYIpYW
b3fjQdJP3w==
-----END CERTIFICATE-----
)";

// The test's own directory, removed with it.
struct Files {
    char name[32] = "/tmp/kiv-config-files-XXXXXX";
    const std::string dir = ::mkdtemp(name);
    ~Files() { fs::remove_all(dir); }
    std::string write(const std::string &file, const std::string &text) const
    {
        std::ofstream(dir + "/" + file) << text;
        return dir + "/" + file;
    }
};

const std::string head = "[gateway]\nid = \"g\"\n[mqtt]\nbroker = \"127.0.0.1:1\"\n";
const std::string module = "[[module]]\nname = \"m\"\nmodel = 7303\naddress = \"127.0.0.1\"\n";

} // namespace

TEST(ConfigFiles, OnlySmallRegularFilesAreReadAsConfigurationOrPassword)
{
    Files f;
    const std::string pw = f.write("pw", "s3cret\r\nnot this line\n"), d = f.dir;
    const std::string good = f.write("good.toml", head + "password_file = \"" + pw + "\"\n" + module);
    const std::string big = f.write("big", std::string(1024 * 1024 + 1, '#'));
    ASSERT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);
    fs::create_directory(d + "/dir");
    fs::create_symlink(good, d + "/good-link");
    fs::create_symlink(pw, d + "/pw-link");
    struct Case {
        std::string as_config, as_password, refusal;  // no refusal: read
    } const cases[] = {
        {d + "/dir", d + "/dir", d + "/dir is not a regular file (a directory)"},
        {d + "/fifo", d + "/fifo", d + "/fifo is not a regular file (a FIFO)"},
        {"/dev/zero", "/dev/zero", "/dev/zero is not a regular file (a character device)"},
        {big, big, big + " is larger than 1 MiB"},
        {d + "/none", d + "/none", "cannot open " + d + "/none: No such file or directory"},
        {d + "/good-link", d + "/pw-link", ""},
    };
    // What refuses the file, empty when nothing does.
    auto refusal = [](const std::function<void()> &read) {
        try {
            read();
            return std::string();
        } catch (const ConfigError &e) {
            return std::string(e.what());
        }
    };
    for (const Case &c : cases) {
        EXPECT_EQ(refusal([&] { load_config(c.as_config); }), c.refusal) << c.as_config;
        const std::string uses = f.write("uses.toml", head + module + "[module.settings]\ntc_enable = [1]\n" +
                                                          "password_file = \"" + c.as_password + "\"\n");
        Config config = load_config(uses);
        EXPECT_EQ(refusal([&] { read_passwords(config, uses); }),
                  c.refusal.empty() ? "" : uses + ": module \"m\" settings: password_file: " + c.refusal);
        EXPECT_EQ(config.modules[0].password, c.refusal.empty() ? "s3cret" : "");
    }
    Config config = load_config(good);
    read_passwords(config, good);
    EXPECT_EQ(config.mqtt->password, "s3cret");
    EXPECT_EQ(config.mqtt->client_id, "kiv-gateway-g");
    // Opened without waiting for a writer, a FIFO is refused at once.
    kivtest::Process check(kivtest::built_argv(KIV_GATEWAY_PATH, {"--config", d + "/fifo", "--check"}));
    ASSERT_TRUE(check.finish(10s));
    EXPECT_EQ(check.status(), 2);
    EXPECT_EQ(check.err(), "kiv-gateway: " + d + "/fifo is not a regular file (a FIFO)\n");
}

TEST(ConfigFiles, CheckRefusesWhatTheStartWouldStopAt)
{
    Files f;
    const std::string none = f.dir + "/none", ca = f.write("ca.pem", test_ca), pw = f.write("pw", "s3cret\n");
    std::string text = test_ca;
    const std::string broken = f.write("broken.pem", text.replace(text.find("MA8G"), 4, "!!!!"));
    struct Case {
        std::string mqtt, message;  // no message: status 0
    } const cases[] = {
        {"password_file = \"" + none + "\"", "[mqtt] password_file: cannot open " + none},
        {"ca_file = \"" + none + "\"", "[mqtt] ca_file: cannot open " + none},
        {"ca_file = \"" + pw + "\"", "[mqtt] ca_file: " + pw + " holds no PEM certificate"},
        {"ca_file = \"" + broken + "\"", "[mqtt] ca_file: " + broken + " holds a certificate that does not decode"},
        {"client_id = \"" + std::string(70000, 'c') + "\"", "[mqtt] client_id is 70000 bytes; MQTT takes at most"},
        {"homeassistant = true\ndiscovery_prefix = \"" + std::string(65500, 'h') + "\"",
         "[mqtt] discovery_prefix: a discovery topic is 655"},
        {"username = \"a\\tb\"", "[mqtt] username holds a control character"},
        {"ca_file = \"" + ca + "\"\npassword_file = \"" + pw + "\"\nclient_id = \"" + std::string(65535, 'c') + "\"",
         ""},
    };
    for (const Case &c : cases) {
        Gateway gw(head + c.mqtt + "\n" + module, {"--check"});
        ASSERT_TRUE(gw.process().finish(10s));
        const std::string err = gw.err();
        EXPECT_EQ(gw.process().status(), c.message.empty() ? 0 : 2) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.message.empty() ? 0 : 1) << err;
        EXPECT_TRUE(c.message.empty() || err.find("gateway.toml: " + c.message) != std::string::npos) << err;
    }
}
