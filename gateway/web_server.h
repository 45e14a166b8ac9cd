// The web console's routes on the gateway's HTTP server: the page's files,
// embedded in the binary; the JSON API over WebState; the event stream;
// and the output switch, which goes to the engine as an MQTT command does.
#pragma once

#include "config.h"
#include "http_server.h"
#include "pipeline.h"
#include "web_state.h"

#include <functional>
#include <string>

namespace gateway {

struct WebFile {
    const char *name;  // "app.js"
    const unsigned char *data;
    std::size_t size;
};
// Every file of gateway/web/, as the build found them (web_files.cpp,
// generated).
extern const WebFile web_files[];
extern const std::size_t web_file_count;

class WebServer {
public:
    // on_loop runs a function on the loop's thread, where config may be
    // read; command hands a checked command to the engine there.
    WebServer(const Config &config, WebState &state, std::function<void(std::function<void()>)> on_loop);
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Before the server starts; command before the loop runs.
    void add_routes(HttpServer &server);
    void take_commands(std::function<void(const OutputCommand &)> command) { command_ = std::move(command); }

private:
    HttpServer::Response page(const std::string &file) const;
    HttpServer::Response api_module(const HttpServer::Request &r);
    HttpServer::Response switch_output(const HttpServer::Request &r, const std::string &module,
                                       const std::string &channel);
    HttpServer::Response events(const HttpServer::Request &r);

    const Config &config_;  // the loop's thread only
    const std::string token_;
    WebState &state_;
    std::function<void(std::function<void()>)> on_loop_;
    std::function<void(const OutputCommand &)> command_;
};

} // namespace gateway
