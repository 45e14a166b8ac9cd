#include "options.h"
#include "settings.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <modbus/modbus.h>

#include <charconv>
#include <cstring>
#include <string_view>

namespace zrmsim {

namespace {

// Numbers in decimal, or in hex with 0x (masks, fault bytes).
std::optional<long long> parse_number(std::string_view s, long long low, long long high)
{
    bool negative = !s.empty() && s.front() == '-';
    if (negative)
        s.remove_prefix(1);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.front() == '+' || s.front() == '-')
        return std::nullopt;
    unsigned long long v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || end != s.data() + s.size() || v > (1ull << 40))
        return std::nullopt;
    long long r = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    if (r < low || r > high)
        return std::nullopt;
    return r;
}

// "CH=REST" with CH in 1..max (or 0..max for registers).
bool split_channel(std::string_view s, int low, int high, int &ch, std::string_view &rest)
{
    auto eq = s.find('=');
    if (eq == std::string_view::npos)
        return false;
    auto n = parse_number(s.substr(0, eq), low, high);
    if (!n)
        return false;
    ch = static_cast<int>(*n);
    rest = s.substr(eq + 1);
    return true;
}

// A 32-bit mask: any int32, or a pattern up to 0xFFFFFFFF.
std::optional<std::int32_t> parse_mask32(std::string_view s)
{
    auto v = parse_number(s, -2147483648LL, 0xFFFFFFFFLL);
    if (!v)
        return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*v));
}

class Parser {
public:
    Parser(Options &o, std::string &message) : o_(o), msg_(message) {}

    bool option(std::string_view name, std::string_view v);
    bool check_model(bool model_given);
    const std::string &message() const { return msg_; }

private:
    bool fail(std::string_view name, std::string_view v, std::string_view why)
    {
        msg_ = std::string(name) + " " + std::string(v) + ": " + std::string(why);
        return false;
    }
    bool tc(std::string_view name, std::string_view v);

    Options &o_;
    std::string &msg_;
    // Options that only one model has, checked once the model is known.
    std::vector<std::pair<std::string, Model>> model_only_;
    std::vector<std::string> di_given_;
    std::optional<unsigned> di_raw_;
};

bool Parser::tc(std::string_view name, std::string_view v)
{
    int ch = 0;
    std::string_view rest;
    if (!split_channel(v, 1, 3, ch, rest))
        return fail(name, v, "expected CH=TEMP[,REF[,FAULTS]] with CH 1..3");
    TcReading r;
    r.reference = Reading{false, 25, 0};
    std::string_view parts[3];
    int count = 0;
    while (count < 3) {
        auto comma = rest.find(',');
        parts[count++] = rest.substr(0, comma);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
        if (count == 3)
            return fail(name, v, "too many parts");
    }
    auto temp = parse_reading(parts[0], 65535);
    if (!temp)
        return fail(name, v, "temperature must be like -12.5, parts 0..65535");
    r.temperature = *temp;
    if (count > 1) {
        auto ref = parse_reading(parts[1], 255);
        if (!ref)
            return fail(name, v, "reference must be like 24.3, parts 0..255");
        r.reference = *ref;
    }
    if (count > 2) {
        auto faults = parse_number(parts[2], 0, 255);
        if (!faults)
            return fail(name, v, "fault flags must be a byte, e.g. 0x07");
        r.faults = static_cast<std::uint8_t>(*faults);
    }
    o_.fixed.tc[static_cast<std::size_t>(ch - 1)] = r;
    model_only_.emplace_back("--tc", Model::zrm7303);
    return true;
}

bool Parser::option(std::string_view name, std::string_view v)
{
    if (name == "--model") {
        auto m = model_from_name(v);
        if (!m)
            return fail(name, v, "the model is 7301, 7302 or 7303");
        o_.model = *m;
    } else if (name == "--address") {
        in_addr a{};
        if (::inet_pton(AF_INET, std::string(v).c_str(), &a) != 1)
            return fail(name, v, "not a dotted-decimal IPv4 address");
        o_.address = std::string(v);
    } else if (name == "--modbus-port" || name == "--config-port") {
        auto n = parse_number(v, 0, 65535);
        if (!n)
            return fail(name, v, "a port is 0..65535");
        (name == "--modbus-port" ? o_.modbus_port : o_.config_port) = static_cast<int>(*n);
    } else if (name == "--password") {
        if (v.empty())
            o_.password.reset();
        else
            o_.password = std::string(v);
    } else if (name == "--state") {
        if (v.empty())
            return fail(name, v, "needs a file name");
        o_.state_file = std::string(v);
    } else if (name == "--reboot-ms" || name == "--delay-ms") {
        auto n = parse_number(v, 0, 3600000);
        if (!n)
            return fail(name, v, "milliseconds 0..3600000");
        (name == "--reboot-ms" ? o_.reboot_ms : o_.delay_ms) = static_cast<int>(*n);
    } else if (name == "--idle-timeout") {
        auto n = parse_number(v, 0, 604800);
        if (!n)
            return fail(name, v, "seconds 0..604800");
        o_.idle_timeout_s = static_cast<int>(*n);
    } else if (name == "--ai") {
        int ch = 0;
        std::string_view rest;
        if (!split_channel(v, 1, 8, ch, rest))
            return fail(name, v, "expected CH=VALUE with CH 1..8");
        auto r = parse_reading(rest, 65535);
        if (!r)
            return fail(name, v, "value must be like -12.5, parts 0..65535");
        o_.fixed.ai[static_cast<std::size_t>(ch - 1)] = *r;
        model_only_.emplace_back("--ai", Model::zrm7301);
    } else if (name == "--tc") {
        return tc(name, v);
    } else if (name == "--di") {
        auto n = parse_number(v, 0, 0xFFFF);
        if (!n)
            return fail(name, v, "a mask 0..0xffff");
        di_raw_ = static_cast<unsigned>(*n);
    } else if (name == "--do") {
        auto n = parse_number(v, 0, 0xFF);
        if (!n)
            return fail(name, v, "a mask 0..0xff");
        o_.do_mask = static_cast<unsigned>(*n);
    } else if (name == "--sensor") {
        int reg = 0;
        std::string_view rest;
        if (!split_channel(v, 0, 23, reg, rest))
            return fail(name, v, "expected REG=VALUE with REG 0..23");
        auto n = parse_number(rest, 0, 65535);
        if (!n)
            return fail(name, v, "a register value is 0..65535");
        o_.fixed.sensor[static_cast<std::size_t>(reg)] = static_cast<std::uint16_t>(*n);
        model_only_.emplace_back("--sensor", Model::zrm7302);
    } else if (name == "--ai-en" || name == "--tc-en") {
        auto m = parse_mask32(v);
        if (!m)
            return fail(name, v, "a 32-bit mask");
        if (name == "--ai-en") {
            o_.ai_en = *m;
            model_only_.emplace_back("--ai-en", Model::zrm7301);
        } else {
            o_.tc_en = *m;
            model_only_.emplace_back("--tc-en", Model::zrm7303);
        }
    } else if (name == "--range") {
        int ch = 0;
        std::string_view rest;
        if (!split_channel(v, 1, 8, ch, rest))
            return fail(name, v, "expected CH=CODE with CH 1..8");
        auto code = parse_number(rest, 0, 10);
        if (!code)
            return fail(name, v, "a range code is 0..10");
        o_.range[static_cast<std::size_t>(ch - 1)] = static_cast<int>(*code);
        model_only_.emplace_back("--range", Model::zrm7301);
    } else if (name == "--povp") {
        auto n = parse_number(v, 0, 255);
        if (!n)
            return fail(name, v, "u8_povp is 0..255");
        o_.povp = static_cast<std::int32_t>(*n);
    } else if (name == "--exception") {
        auto n = parse_number(v, 1, MODBUS_EXCEPTION_MAX - 1);
        if (!n)
            return fail(name, v, "an exception code is 1..11");
        o_.exception = static_cast<int>(*n);
    } else if (name == "--close-after") {
        auto n = parse_number(v, 0, 1000000000);
        if (!n)
            return fail(name, v, "a request count 0..1000000000");
        o_.close_after = static_cast<long>(*n);
    } else if (name == "--slow-every") {
        auto n = parse_number(v, 1, 1000000);
        if (!n)
            return fail(name, v, "an answer count 1..1000000");
        o_.slow_every = static_cast<int>(*n);
    } else if (name == "--modules") {
        auto n = parse_number(v, 1, max_modules);
        if (!n)
            return fail(name, v, "a module count 1.." + std::to_string(max_modules));
        o_.modules = static_cast<int>(*n);
    } else if (name == "--plant") {
        if (v.empty())
            return fail(name, v, "needs a file name");
        o_.plant_file = std::string(v);
    } else if (name == "--config-ignore") {
        if (v.empty() || v.find_first_of("=\r\n") != std::string_view::npos)
            return fail(name, v, "a key such as ai_en");
        o_.config_ignore.emplace_back(v);
    } else {
        msg_ = "unknown option " + std::string(name) + " (see --help)";
        return false;
    }
    return true;
}

bool Parser::check_model(bool model_given)
{
    // A plant file's lines name the models, each its own.
    if (!o_.plant_file.empty())
        return true;
    if (!model_given) {
        msg_ = "--model 7301|7302|7303 is required (see --help)";
        return false;
    }
    const ModelInfo &m = model_info(o_.model);
    for (const auto &[opt, model] : model_only_)
        if (model != o_.model) {
            msg_ = opt + " is for model " + model_info(model).name + ", not " + m.name;
            return false;
        }
    if (di_raw_) {
        if (m.discrete_inputs == 0) {
            msg_ = std::string("--di: model ") + m.name + " has no digital inputs";
            return false;
        }
        if ((*di_raw_ >> m.discrete_inputs) != 0) {
            msg_ = std::string("--di: model ") + m.name + " has " +
                   std::to_string(m.discrete_inputs) + " digital inputs";
            return false;
        }
        o_.fixed.di = static_cast<std::uint16_t>(*di_raw_);
    }
    if (o_.do_mask && (*o_.do_mask >> m.coils) != 0) {
        msg_ = std::string("--do: model ") + m.name + " has " + std::to_string(m.coils) +
               (m.coils == 1 ? " output" : " outputs");
        return false;
    }
    if (o_.modbus_port != 0 && o_.modbus_port == o_.config_port) {
        msg_ = "--modbus-port and --config-port must differ";
        return false;
    }
    return true;
}

// Every option's name, value form, group and help, and its default as the
// Options struct holds it: the parser and --help read the same table.
struct OptionEntry {
    const char *name;
    const char *value;      // nullptr: a flag
    const char *group;
    std::string help;
    std::string shown_default;
};

const char *const listen_group = "Where it listens";
const char *const config_group = "Configuration service";
const char *const fixed_group = "Fixed inputs (otherwise inputs move over time within their range)";
const char *const fault_group = "Faults";
const char *const plant_group = "A plant: many modules in one process";

std::vector<OptionEntry> option_entries()
{
    const Options d;
    const Settings fresh;
    auto n = [](long v) { return std::to_string(v); };
    return {
        {"--model", "M", listen_group,
         "7301 (8 AI, 1 DO), 7302 (16 DI, 8 DO, 24 sensor\n"
         "registers), 7303 (3 TC, 2 DI, 1 DO); required", ""},
        {"--address", "A", listen_group, "IPv4 address to listen on", d.address},
        {"--modbus-port", "N", listen_group, "Modbus/TCP port; 0 = any free port", n(d.modbus_port)},
        {"--config-port", "N", listen_group, "configuration port; 0 = any free port", n(d.config_port)},
        {"--idle-timeout", "S", listen_group,
         "close a connection of either service that has\n"
         "sent nothing for S seconds; 0 = never", n(d.idle_timeout_s)},
        {"--password", "P", config_group, "login password: its first 8 bytes count", "none"},
        {"--state", "FILE", config_group,
         "saved settings: read at start, written by save;\n"
         "the start values below win over saved ones", ""},
        {"--reboot-ms", "N", config_group,
         "after \"S:save=1&reboot=1\" connections are\n"
         "refused for N ms", n(d.reboot_ms)},
        {"--ai-en", "MASK", config_group, "start value of ai_en on a 7301", n(fresh.ai_en)},
        {"--tc-en", "MASK", config_group, "start value of tc_en on a 7303", n(fresh.tc_en)},
        {"--range", "CH=CODE", config_group,
         "start range code 0..10 of AI channel CH 1..8\n"
         "(7301); sets ai_range_<CH-1> and ai_pl", n(fresh.ai_range[0]) + ", -10..10 V"},
        {"--povp", "MASK", config_group, "start value of u8_povp, 0..255", n(fresh.u8_povp)},
        {"--ai", "CH=VALUE", fixed_group,
         "AI channel CH 1..8 (7301), e.g. -12.5 or 3.25:\n"
         "sign, integer and fraction digits as written\n"
         "(12.50 is 12, 50)", ""},
        {"--tc", "CH=TEMP[,REF[,FAULTS]]", fixed_group,
         "TC channel CH 1..3 (7303); REF as TEMP with parts\n"
         "of at most 255 (default 25.0); FAULTS a byte such\n"
         "as 0x07: bit 0 open, bit 1 short to GND, bit 2\n"
         "short to VCC", ""},
        {"--di", "MASK", fixed_group, "digital inputs, bit 0 = input 1 (7302, 7303)", ""},
        {"--do", "MASK", fixed_group, "outputs at start, bit 0 = output 1", "u8_povp"},
        {"--sensor", "REG=VALUE", fixed_group, "sensor register REG 0..23 (7302), VALUE 0..65535", ""},
        {"--delay-ms", "N", fault_group, "delay every answer of both services by N ms", ""},
        {"--exception", "CODE", fault_group, "answer every Modbus request with exception\nCODE 1..11", ""},
        {"--close-after", "N", fault_group,
         "close a connection after answering N requests\n"
         "(both services; the login line counts); 0 closes\n"
         "at once", ""},
        {"--config-ignore", "KEY", fault_group,
         "give no answer to requests naming KEY; \"login\"\n"
         "is the login line, \"save\" the save line", ""},
        {"--slow-every", "K", fault_group,
         "with --delay-ms, hold back only every K-th\n"
         "answer of a connection", n(d.slow_every)},
        {"--modules", "N", plant_group,
         "serve N modules alike on N consecutive\n"
         "addresses from --address, 1.." + std::to_string(max_modules), n(d.modules)},
        {"--plant", "FILE", plant_group,
         "serve the modules of FILE, one line each in\n"
         "the options' syntax; then only --verbose and\n"
         "--wall-clock go on the command line", ""},
    };
}

const char usage[] = "Usage: zrm-sim --model 7301|7302|7303 [options]\n\n";

const char description[] =
    "Simulates one ZRM remote I/O module: Modbus/TCP and the configuration service;\n"
    "with --modules or --plant, many of them in one process.\n"
    "When both services listen it prints one line on standard output (one per\n"
    "module, in module order):\n"
    "  zrm-sim <model> ready modbus <address>:<port> config <address>:<port>\n"
    "SIGINT or SIGTERM ends it with status 0; a bad option gives status 2.\n\n";

const char footer[] =
    "--ai, --tc, --sensor, --range and --config-ignore may be given more than once.\n"
    "Numbers are decimal, or hex with 0x. Options may be written --name VALUE or\n"
    "--name=VALUE.";

// The usage line first, as help2man and readers expect it, then what the
// program is.
class HelpFormat : public CLI::Formatter {
public:
    std::string make_description(const CLI::App *) const override { return ""; }
    std::string make_usage(const CLI::App *, std::string) const override
    {
        return std::string(usage) + description;
    }
    // One blank line before each group, not two: the groups are already
    // set apart by one.
    std::string make_group(std::string group, bool is_positional,
                           std::vector<const CLI::Option *> opts) const override
    {
        return CLI::Formatter::make_group(std::move(group), is_positional, std::move(opts)).substr(1);
    }
};

// The application, its options feeding p; model_given is set by --model.
void describe(CLI::App &app, Options &o, Parser &p, bool &model_given)
{
    app.footer(footer);
    app.formatter(std::make_shared<HelpFormat>());
    app.get_formatter()->column_width(26);
    for (OptionEntry &entry : option_entries()) {
        std::string name = entry.name;
        if (!entry.shown_default.empty()) {
            std::string note = "(default " + entry.shown_default + ")";
            auto last_line = entry.help.size() - entry.help.rfind('\n') - 1;
            entry.help += (last_line + note.size() < 52 ? " " : "\n") + note;
        }
        auto *opt = app.add_option_function<std::string>(
            name,
            [&p, &model_given, name](const std::string &v) {
                if (name == "--model")
                    model_given = true;
                if (!p.option(name, v))
                    throw CLI::ValidationError(p.message());
            },
            entry.help);
        // In command-line order, once per occurrence: repeated options add up,
        // and the last of a single one wins.
        opt->trigger_on_parse()->type_name(entry.value)->group(entry.group);
    }
    app.add_flag("--wall-clock", o.wall_clock,
                 "live values at the seconds since the epoch\n"
                 "(plus each module's offset) instead of since start")
        ->disable_flag_override()
        ->group(plant_group);
    // Added after the others, so that their group comes last in --help.
    app.add_flag("-v,--verbose", o.verbose, "log every request and answer on standard error")
        ->disable_flag_override()
        ->group("Other");
    app.set_help_flag("-h,--help", "this text")->group("Other");
    app.set_version_flag("--version", std::string(version_text()), "the version of zrm-sim")
        ->disable_flag_override()
        ->group("Other");
}

// CLI11's account of a bad command line, in the words used before it: an
// unknown option is called unknown, wherever it stands.
std::string parse_error_text(const CLI::App &app, const CLI::ParseError &e)
{
    if (dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr) {
        for (const std::string &arg : app.remaining())
            if (arg.rfind("-", 0) == 0)
                return "unknown option " + arg + " (see --help)";
        auto rest = app.remaining();
        if (!rest.empty())
            return "unexpected argument " + rest.front() + " (see --help)";
    }
    if (dynamic_cast<const CLI::ValidationError *>(&e) != nullptr)
        return e.what();
    // "verbose was given a disallowed flag override": --verbose=1.
    std::string what = e.what();
    if (auto at = what.find(" was given a disallowed flag override"); at != std::string::npos)
        return "--" + what.substr(0, at) + " takes no value";
    return std::string(e.what()) + " (see --help)";
}

// Options that the whole process shares: a plant file's lines cannot set
// them, and they are all that the command line takes beside --plant.
const char *const process_options[] = {"--verbose", "--wall-clock", "--plant", "--modules"};

bool process_option(const std::string &name)
{
    for (const char *p : process_options)
        if (name == p)
            return true;
    return false;
}

// The options of one scope that are given where they do not belong.
bool check_scope(const CLI::App &app, const Options &o, OptionScope scope, std::string &message)
{
    for (const CLI::Option *opt : app.get_options()) {
        // The long name, "--verbose" for "-v,--verbose".
        std::string name = opt->get_name();
        if (opt->count() == 0 || name == "--help" || name == "--version")
            continue;
        if (scope == OptionScope::plant_line && process_option(name)) {
            message = name + " is for the whole process: give it on the command line";
            return false;
        }
        if (scope == OptionScope::command_line && !o.plant_file.empty() && !process_option(name)) {
            message = name + " belongs in the plant file's lines, not on the command line with --plant";
            return false;
        }
    }
    if (!o.plant_file.empty() && app.count("--modules") > 0) {
        message = "--plant and --modules exclude each other";
        return false;
    }
    if (o.modules > 1 && !o.state_file.empty()) {
        message = "--state names one module's file: give each module its own in a --plant file";
        return false;
    }
    return true;
}

} // namespace

std::string usage_text()
{
    CLI::App app("", "zrm-sim");
    Options o;
    std::string message;
    Parser p(o, message);
    bool model_given = false;
    describe(app, o, p, model_given);
    return app.help();
}

const char *version_text()
{
    return "zrm-sim " ZRM_SIM_VERSION "\n";
}

ParseResult parse_options(int argc, char **argv, Options &o, std::string &message, OptionScope scope)
{
    CLI::App app("", "zrm-sim");
    Parser p(o, message);
    bool model_given = false;
    describe(app, o, p, model_given);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        return ParseResult::help;
    } catch (const CLI::CallForVersion &) {
        return ParseResult::version;
    } catch (const CLI::ParseError &e) {
        message = parse_error_text(app, e);
        return ParseResult::error;
    }
    if (!check_scope(app, o, scope, message))
        return ParseResult::error;
    return p.check_model(model_given) ? ParseResult::run : ParseResult::error;
}

} // namespace zrmsim
