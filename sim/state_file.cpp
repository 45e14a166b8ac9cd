#include "state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zrmsim {

bool load_state(const std::string &path, Model m, Settings &s, bool &found, std::string &error)
{
    found = false;
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT)
            return true;
        error = "cannot read state file " + path + ": " + std::strerror(errno);
        return false;
    }
    found = true;
    Settings loaded = s;
    bool model_seen = false;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (eq == std::string::npos) {
            error = where + "expected key=value";
            return false;
        }
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "model") {
            if (value != model_info(m).name) {
                error = where + "saved for model " + value + ", not " + model_info(m).name;
                return false;
            }
            model_seen = true;
            continue;
        }
        SetResult r = set_setting(loaded, m, key, value);
        if (r != SetResult::ok) {
            error = where + (r == SetResult::unknown_key ? "unknown key " + key : "bad value for " + key);
            return false;
        }
    }
    if (!model_seen) {
        error = path + ": no model line";
        return false;
    }
    s = loaded;
    return true;
}

bool save_state(const std::string &path, Model m, const Settings &s, std::string &error)
{
    std::ostringstream text;
    text << "# zrm-sim saved settings\n";
    text << "model=" << model_info(m).name << '\n';
    for (const auto &key : setting_keys(m))
        text << key << '=' << *get_setting(s, m, key) << '\n';

    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace zrmsim
