// What the configuration points to, read and checked before anything
// connects: the same steps serve --check and the start, so that a file that
// passes the check does not stop the gateway at start.
#pragma once

#include "config.h"

#include <string>

namespace gateway {

// The passwords the configuration points to: each module's login password
// (settings: the first line of its password_file, or its password_env) and
// the broker's ([mqtt] password_file) and the console's token ([web]
// token_file). ConfigError, naming the configuration file at path and the
// key, when one cannot be read.
void read_passwords(Config &c, const std::string &path);

// What the MQTT client's set-up would refuse, in c.mqtt if there is one
// (after read_passwords): the CA file is a small regular file of PEM
// certificates; the client id, the user name, the password and every
// topic the gateway publishes fit MQTT's strings (at most 65535 bytes of
// UTF-8, no control characters in the text ones). ConfigError naming the
// configuration file at path and the key.
void check_mqtt(const Config &c, const std::string &path);
// The store's folder takes its file; called by check_mqtt.
void check_store(const Config &c, const std::string &path);

} // namespace gateway
