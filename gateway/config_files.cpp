#include "config_files.h"

#include "discovery.h"
#include "first_line.h"
#include "small_file.h"
#include "store.h"

#include <mosquitto.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gateway {

namespace {

// MQTT's strings carry their length in two bytes.
constexpr std::size_t mqtt_string_limit = 65535;

std::string too_long(std::size_t n)
{
    std::string s = "is ";
    s += std::to_string(n);
    s += " bytes; MQTT takes at most 65535";
    return s;
}

// Why libmosquitto would refuse text as a client id, user name or topic;
// empty when it would not.
std::string text_problem(const std::string &text)
{
    if (text.size() > mqtt_string_limit)
        return too_long(text.size());
    if (mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS)
        return "holds a control character or what is not UTF-8";
    return {};
}

// Why the text is not a CA file that TLS can use: no certificate, or a
// block that does not decode; empty when it is one. libmosquitto hands the
// file to OpenSSL only at the first connect, too late to refuse it.
std::string pem_problem(const std::string &text)
{
    BIO *bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (!bio)
        return "cannot be parsed: out of memory";
    ERR_clear_error();
    // No passphrase prompt on the terminal for an encrypted block.
    auto no_passphrase = [](char *, int, int, void *) { return 0; };
    int count = 0;
    while (X509 *cert = PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr)) {
        X509_free(cert);
        ++count;
    }
    BIO_free(bio);
    const unsigned long last = ERR_peek_last_error();
    // The first error is the deepest: "header too long" beneath "ASN1 lib".
    const char *why = ERR_reason_error_string(ERR_peek_error());
    ERR_clear_error();
    // The read after the last certificate finds no further block.
    if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)
        return count ? std::string() : "holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
    std::string s = "holds a certificate that does not decode (";
    s += why ? why : "unknown error";
    s += ")";
    return s;
}

} // namespace

void read_passwords(Config &c, const std::string &path)
{
    auto first_line = [&](const std::string &file, const std::string &key) {
        auto line = read_first_line(file);
        if (!line)
            throw ConfigError(path, key + ": " + line.why().answer);
        return *line;
    };
    if (c.mqtt && !c.mqtt->password_file.empty())
        c.mqtt->password = first_line(c.mqtt->password_file, "[mqtt] password_file");
    if (c.web && !c.web->token_file.empty()) {
        c.web->token = first_line(c.web->token_file, "[web] token_file");
        if (c.web->token.empty())
            throw ConfigError(path, "[web] token_file: the token (its first line) is empty");
    }
    for (ModuleConfig &m : c.modules) {
        if (!m.settings)
            continue;
        const DeclaredSettings &d = *m.settings;
        const std::string what = "module \"" + m.name + "\" settings: ";
        if (!d.password_file.empty())
            m.password = first_line(d.password_file, what + "password_file");
        if (!d.password_env.empty()) {
            const char *v = std::getenv(d.password_env.c_str());
            if (!v)
                throw ConfigError(path, what + "password_env: the environment variable " + d.password_env +
                                            " is not set");
            m.password = v;
        }
    }
}

void check_mqtt(const Config &c, const std::string &path)
{
    if (!c.mqtt)
        return;
    const MqttConfig &m = *c.mqtt;
    auto refuse = [&](const std::string &why) { throw ConfigError(path, "[mqtt] " + why); };
    if (m.client_id.empty())
        refuse("client_id is empty");
    for (auto [key, text] : {std::pair{"client_id", &m.client_id}, std::pair{"username", &m.username}})
        if (std::string why = text_problem(*text); !why.empty())
            refuse(key + (" " + why));
    if (m.password.size() > mqtt_string_limit)
        refuse("password_file: the password (its first line) " + too_long(m.password.size()));
    if (!m.ca_file.empty()) {
        auto text = read_small_file(m.ca_file);
        if (!text)
            refuse("ca_file: " + text.why().answer);
        if (std::string why = pem_problem(*text); !why.empty())
            refuse("ca_file: " + m.ca_file + " " + why);
    }
    // The gateway's own topics are short (the id and the module names are
    // at most 64 characters); the discovery prefix is free text.
    if (m.homeassistant)
        for (const Retained &r : discovery_messages(c))
            if (std::string why = text_problem(r.topic); !why.empty())
                refuse("discovery_prefix: a discovery topic " + why);
    check_store(c, path);
}

// The store's file is made at start: its folder must take it, and a file
// already there must be a regular one (the start then opens it as it is).
void check_store(const Config &c, const std::string &path)
{
    if (!c.store)
        return;
    const std::string &file = c.store->path;
    const std::string what = "[store] path: " + file;
    struct stat st{};
    if (::lstat(file.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            throw ConfigError(path, what + " is not a regular file");
    } else if (errno != ENOENT) {
        throw ConfigError(path, what + ": " + std::strerror(errno));
    }
    // A missing folder is made at start (systemd's StateDirectory makes it
    // before, as the unit's user): then its parent must take it.
    std::string folder = store_folder(file);
    if (::access(folder.c_str(), F_OK) != 0)
        folder = store_folder(folder);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        throw ConfigError(path, what + ": " + folder + " cannot take it: " + std::strerror(errno));
}

} // namespace gateway
