#include "web_server.h"

#include "commands.h"
#include "log.h"

#include <nlohmann/json.hpp>

#include <memory>

namespace gateway {

namespace {

const char *const security_headers = "Cache-Control: no-cache\r\n"
                                     "Content-Security-Policy: default-src 'self'\r\n"
                                     "X-Content-Type-Options: nosniff\r\n"
                                     "Referrer-Policy: no-referrer\r\n";

HttpServer::Response with_headers(HttpServer::Response r)
{
    r.headers += security_headers;
    return r;
}

HttpServer::Response json_response(int status, std::string body)
{
    return with_headers({status, "application/json", std::move(body)});
}

HttpServer::Response json_error(int status, const std::string &why)
{
    // The reason may quote what the client sent.
    return json_response(status, nlohmann::json{{"error", why}}.dump(-1, ' ', false,
                                                                      nlohmann::json::error_handler_t::replace));
}

const char *content_type(const std::string &name)
{
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (ext == "html")
        return "text/html; charset=utf-8";
    if (ext == "js")
        return "text/javascript; charset=utf-8";
    if (ext == "css")
        return "text/css; charset=utf-8";
    if (ext == "svg")
        return "image/svg+xml";
    if (ext == "png")
        return "image/png";
    if (ext == "ico")
        return "image/x-icon";
    if (ext == "json")
        return "application/json";
    return "text/plain; charset=utf-8";
}

// Takes as long for every token of the same length, wherever it differs.
bool same_token(const std::string &given, const std::string &token)
{
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    return diff == 0;
}

// The value of key in a query string, or empty.
std::string query_value(const std::string &query, const std::string &key)
{
    for (std::size_t at = 0; at <= query.size();) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string pair = query.substr(at, end - at);
        if (pair.starts_with(key + "="))
            return pair.substr(key.size() + 1);
        at = end + 1;
    }
    return {};
}

} // namespace

WebServer::WebServer(const Config &config, WebState &state, std::function<void(std::function<void()>)> on_loop)
    : config_(config), token_(config.web ? config.web->token : ""), state_(state), on_loop_(std::move(on_loop))
{
}

HttpServer::Response WebServer::page(const std::string &file) const
{
    for (std::size_t i = 0; i < web_file_count; ++i)
        if (file == web_files[i].name)
            return with_headers({200, content_type(file),
                                 std::string(reinterpret_cast<const char *>(web_files[i].data), web_files[i].size)});
    return with_headers({404, "text/plain; charset=utf-8", "Not Found\n"});
}

void WebServer::add_routes(HttpServer &server)
{
    server.get("/", [this] { return page("index.html"); });
    for (std::size_t i = 0; i < web_file_count; ++i) {
        const std::string name = web_files[i].name;
        if (name != "index.html" && name != "module.html")
            server.get("/" + name, [this, name] { return page(name); });
    }
    server.route(
        "/module/",
        [this](const HttpServer::Request &r) {
            if (r.method != "GET" && r.method != "HEAD")
                return json_error(405, "method not allowed");
            return page(state_.has_module(r.path.substr(8)) ? "module.html" : "404");
        },
        true);
    server.get("/api/modules", [this] { return json_response(200, state_.modules_json()); });
    server.route("/api/module/", [this](const HttpServer::Request &r) { return api_module(r); }, true);
    server.route("/api/events", [this](const HttpServer::Request &r) { return events(r); });
}

HttpServer::Response WebServer::api_module(const HttpServer::Request &r)
{
    // <name> or <name>/do/<n>
    const std::string rest = r.path.substr(std::string("/api/module/").size());
    const std::size_t slash = rest.find('/');
    const std::string name = rest.substr(0, slash);
    if (slash == std::string::npos) {
        if (r.method != "GET" && r.method != "HEAD")
            return json_error(405, "method not allowed");
        auto body = state_.module_json(name);
        return body ? json_response(200, std::move(*body)) : json_error(404, "no such module");
    }
    const std::string tail = rest.substr(slash + 1);
    if (!tail.starts_with("do/") || r.method != "POST")
        return json_error(tail.starts_with("do/") ? 405 : 404, tail.starts_with("do/") ? "method not allowed" : "not found");
    return switch_output(r, name, tail.substr(3));
}

HttpServer::Response WebServer::switch_output(const HttpServer::Request &r, const std::string &module,
                                              const std::string &channel)
{
    // What the client sent goes into the log as one line of printable text.
    std::string what = module + " do/" + channel + " " + r.body;
    for (char &ch : what)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
            ch = '?';
    auto refuse = [&](int status, const std::string &why) {
        log(Level::warn, "web: " + r.client + " refused " + what + ": " + why);
        return json_error(status, why);
    };
    if (token_.empty())
        return refuse(403, "read-only");
    const std::string auth = r.header("authorization");
    if (!auth.starts_with("Bearer ") || !same_token(auth.substr(7), token_))
        return refuse(401, "unauthorized");
    // The configuration is the loop's: the command is checked there.
    auto done = r.defer();
    on_loop_([this, done, module, channel, body = r.body, client = r.client, what] {
        const auto parsed = parse_command(config_, module, channel, body);
        if (const auto *why = std::get_if<std::string>(&parsed)) {
            const int status = why->starts_with("no module") ? 404 : why->starts_with("commands are off") ? 403 : 400;
            const std::string text = status == 403 ? "commands are off for this module"
                                     : status == 404 ? "no such module" : *why;
            log(Level::warn, "web: " + client + " refused " + what + ": " + text);
            done(json_error(status, text));
            return;
        }
        log(Level::info, "web: " + client + " switched " + what);
        const OutputCommand &cmd = std::get<OutputCommand>(parsed);
        state_.expect(cmd, [done](const HttpServer::Response &resp) { done(with_headers(resp)); });
        command_(cmd);
    });
    return {};
}

HttpServer::Response WebServer::events(const HttpServer::Request &r)
{
    if (r.method != "GET")
        return json_error(405, "method not allowed");
    auto cursor = std::make_shared<WebState::Cursor>();
    cursor->module = query_value(r.query, "module");
    if (!cursor->module.empty() && !state_.has_module(cursor->module))
        return json_error(404, "no such module");
    HttpServer::Response s = with_headers({200, "text/event-stream", state_.events(*cursor)});
    s.stream = [this, cursor] { return state_.events(*cursor); };
    return s;
}

} // namespace gateway
