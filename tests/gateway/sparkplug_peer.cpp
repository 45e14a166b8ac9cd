#include "sparkplug_peer.h"

#include "tool_process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kivtest {

namespace {

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

void require(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error("Sparkplug test peer: " + what);
}

// Runs the script on the lines, one line out for each line in.
std::vector<nlohmann::json> run_peer(const std::vector<std::string> &lines, bool encode)
{
    require(::access(KIV_NODE, X_OK) == 0, std::string("no node at \"") + KIV_NODE + "\" (Debian: nodejs)");
    require(::access(KIV_NODE_MODULES "/sparkplug-payload/package.json", R_OK) == 0,
            "no sparkplug-payload in " KIV_NODE_MODULES " (scripts/common.sh: ensure_node_packages)");
    char input[] = "/tmp/kiv-sparkplug-peer.XXXXXX";
    const int fd = ::mkstemp(input);
    require(fd >= 0, "cannot make a file in /tmp");
    ::close(fd);
    {
        std::ofstream f(input);
        for (const std::string &l : lines)
            f << l << '\n';
    }
    std::vector<std::string> argv{"env", "NODE_PATH=" KIV_NODE_MODULES, KIV_NODE, KIV_SPARKPLUG_PEER_JS};
    if (encode)
        argv.push_back("encode");
    Process node({"/bin/sh", "-c", "exec " + shell_words(argv) + " < " + shell_words({input})});
    const bool finished = node.finish(std::chrono::seconds(60));
    std::remove(input);
    require(finished && node.status() == 0, "node failed: " + node.err());
    std::vector<nlohmann::json> out;
    std::istringstream text(node.out());
    for (std::string line; std::getline(text, line);)
        out.push_back(nlohmann::json::parse(line));
    require(out.size() == lines.size(), "node answered " + std::to_string(out.size()) + " of " +
                                            std::to_string(lines.size()) + " lines: " + node.err());
    return out;
}

} // namespace

std::vector<nlohmann::json> sparkplug_decode(const std::vector<std::string> &payloads)
{
    std::vector<std::string> lines;
    for (const std::string &p : payloads)
        lines.push_back(hex(p));
    return run_peer(lines, false);
}

std::vector<std::string> sparkplug_encode(const std::vector<nlohmann::json> &payloads)
{
    std::vector<std::string> lines;
    for (const nlohmann::json &p : payloads)
        lines.push_back(p.dump());
    std::vector<std::string> out;
    for (const nlohmann::json &answer : run_peer(lines, true)) {
        require(answer.contains("hex"), "encodePayload failed: " + answer.dump());
        out.push_back(unhex(answer["hex"].get<std::string>()));
    }
    return out;
}

} // namespace kivtest
