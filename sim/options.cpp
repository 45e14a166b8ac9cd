#include "options.h"
#include "settings.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <modbus/modbus.h>

#include <charconv>
#include <cstring>
#include <functional>
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

// What the options said, as far as it can be taken before the model is
// known: some are for one model only, and the digital inputs' width is the
// model's.
struct Given {
    explicit Given(Options &options) : o(options) {}
    Options &o;
    bool model = false;
    // Options for one model, in command-line order.
    std::vector<std::pair<std::string, Model>> model_only;
    std::optional<unsigned> di;
};

// Takes one value of an option into g; the reason it is wrong, or empty.
using ValueParser = std::function<std::string(std::string_view value, Given &g)>;

template <class T> struct Stored { using type = T; };
template <class T> struct Stored<std::optional<T>> { using type = T; };

// A number in low..high into an Options field.
template <class Field>
ValueParser number(Field Options::*field, long long low, long long high, std::string why)
{
    return [=](std::string_view v, Given &g) -> std::string {
        auto n = parse_number(v, low, high);
        if (!n)
            return why;
        g.o.*field = static_cast<typename Stored<Field>::type>(*n);
        return {};
    };
}

ValueParser mask32(std::optional<std::int32_t> Options::*field)
{
    return [=](std::string_view v, Given &g) -> std::string {
        auto m = parse_mask32(v);
        if (!m)
            return "a 32-bit mask";
        g.o.*field = *m;
        return {};
    };
}

ValueParser file_name(std::string Options::*field)
{
    return [=](std::string_view v, Given &g) -> std::string {
        if (v.empty())
            return "needs a file name";
        g.o.*field = std::string(v);
        return {};
    };
}

std::string parse_model(std::string_view v, Given &g)
{
    auto m = model_from_name(v);
    if (!m)
        return "the model is 7301, 7302 or 7303";
    g.o.model = *m;
    g.model = true;
    return {};
}

std::string parse_address(std::string_view v, Given &g)
{
    in_addr a{};
    if (::inet_pton(AF_INET, std::string(v).c_str(), &a) != 1)
        return "not a dotted-decimal IPv4 address";
    g.o.address = std::string(v);
    return {};
}

std::string parse_password(std::string_view v, Given &g)
{
    if (v.empty())
        g.o.password.reset();
    else
        g.o.password = std::string(v);
    return {};
}

std::string parse_ai(std::string_view v, Given &g)
{
    int ch = 0;
    std::string_view rest;
    if (!split_channel(v, 1, 8, ch, rest))
        return "expected CH=VALUE with CH 1..8";
    auto r = parse_reading(rest, 65535);
    if (!r)
        return "value must be like -12.5, parts 0..65535";
    g.o.fixed.ai[static_cast<std::size_t>(ch - 1)] = *r;
    return {};
}

std::string parse_tc(std::string_view v, Given &g)
{
    int ch = 0;
    std::string_view rest;
    if (!split_channel(v, 1, 3, ch, rest))
        return "expected CH=TEMP[,REF[,FAULTS]] with CH 1..3";
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
            return "too many parts";
    }
    auto temp = parse_reading(parts[0], 65535);
    if (!temp)
        return "temperature must be like -12.5, parts 0..65535";
    r.temperature = *temp;
    if (count > 1) {
        auto ref = parse_reading(parts[1], 255);
        if (!ref)
            return "reference must be like 24.3, parts 0..255";
        r.reference = *ref;
    }
    if (count > 2) {
        auto faults = parse_number(parts[2], 0, 255);
        if (!faults)
            return "fault flags must be a byte, e.g. 0x07";
        r.faults = static_cast<std::uint8_t>(*faults);
    }
    g.o.fixed.tc[static_cast<std::size_t>(ch - 1)] = r;
    return {};
}

std::string parse_di(std::string_view v, Given &g)
{
    auto n = parse_number(v, 0, 0xFFFF);
    if (!n)
        return "a mask 0..0xffff";
    g.di = static_cast<unsigned>(*n);
    return {};
}

std::string parse_sensor(std::string_view v, Given &g)
{
    int reg = 0;
    std::string_view rest;
    if (!split_channel(v, 0, 23, reg, rest))
        return "expected REG=VALUE with REG 0..23";
    auto n = parse_number(rest, 0, 65535);
    if (!n)
        return "a register value is 0..65535";
    g.o.fixed.sensor[static_cast<std::size_t>(reg)] = static_cast<std::uint16_t>(*n);
    return {};
}

std::string parse_range(std::string_view v, Given &g)
{
    int ch = 0;
    std::string_view rest;
    if (!split_channel(v, 1, 8, ch, rest))
        return "expected CH=CODE with CH 1..8";
    auto code = parse_number(rest, 0, 10);
    if (!code)
        return "a range code is 0..10";
    g.o.range[static_cast<std::size_t>(ch - 1)] = static_cast<int>(*code);
    return {};
}

std::string parse_config_ignore(std::string_view v, Given &g)
{
    if (v.empty() || v.find_first_of("=\r\n") != std::string_view::npos)
        return "a key such as ai_en";
    g.o.config_ignore.emplace_back(v);
    return {};
}

// What only the model can decide, once every option is read.
bool check_model(Given &g, std::string &message)
{
    Options &o = g.o;
    // A plant file's lines name the models, each its own.
    if (!o.plant_file.empty())
        return true;
    if (!g.model) {
        message = "--model 7301|7302|7303 is required (see --help)";
        return false;
    }
    const ModelInfo &m = model_info(o.model);
    for (const auto &[opt, model] : g.model_only)
        if (model != o.model) {
            message = opt + " is for model " + model_info(model).name + ", not " + m.name;
            return false;
        }
    if (g.di) {
        if (m.discrete_inputs == 0) {
            message = std::string("--di: model ") + m.name + " has no digital inputs";
            return false;
        }
        if ((*g.di >> m.discrete_inputs) != 0) {
            message = std::string("--di: model ") + m.name + " has " +
                      std::to_string(m.discrete_inputs) + " digital inputs";
            return false;
        }
        o.fixed.di = static_cast<std::uint16_t>(*g.di);
    }
    if (o.do_mask && (*o.do_mask >> m.coils) != 0) {
        message = std::string("--do: model ") + m.name + " has " + std::to_string(m.coils) +
                  (m.coils == 1 ? " output" : " outputs");
        return false;
    }
    if (o.modbus_port != 0 && o.modbus_port == o.config_port) {
        message = "--modbus-port and --config-port must differ";
        return false;
    }
    return true;
}

// Where an option may be given: on a module's line (the command line, or a
// line of a plant file), or only on the command line, for the whole process.
enum class Reach { module, process };

// Every option: its names, value form, group and help, its default as the
// Options struct holds it, and what it does. The parser and --help read this
// one table.
struct OptionEntry {
    const char *name;       // CLI11's form: "-v,--verbose"
    const char *value;      // nullptr: a flag, which sets flag
    const char *group;
    std::string help;
    std::string shown_default;
    ValueParser parse;
    std::optional<Model> only = std::nullopt;  // the one model it is for
    Reach reach = Reach::module;
    bool Options::*flag = nullptr;
};

const char *const listen_group = "Where it listens";
const char *const config_group = "Configuration service";
const char *const fixed_group = "Fixed inputs (otherwise inputs move over time within their range)";
const char *const fault_group = "Faults";
const char *const plant_group = "A plant: many modules in one process";

std::vector<OptionEntry> make_option_table()
{
    const Options d;
    const Settings fresh;
    auto n = [](long v) { return std::to_string(v); };
    const std::string ms = "milliseconds 0..3600000";
    return {
        {"--model", "M", listen_group,
         "7301 (8 AI, 1 DO), 7302 (16 DI, 8 DO, 24 sensor\n"
         "registers), 7303 (3 TC, 2 DI, 1 DO); required", "", parse_model},
        {"--address", "A", listen_group, "IPv4 address to listen on", d.address, parse_address},
        {"--modbus-port", "N", listen_group, "Modbus/TCP port; 0 = any free port", n(d.modbus_port),
         number(&Options::modbus_port, 0, 65535, "a port is 0..65535")},
        {"--config-port", "N", listen_group, "configuration port; 0 = any free port", n(d.config_port),
         number(&Options::config_port, 0, 65535, "a port is 0..65535")},
        {"--idle-timeout", "S", listen_group,
         "close a connection of either service that has\n"
         "sent nothing for S seconds; 0 = never", n(d.idle_timeout_s),
         number(&Options::idle_timeout_s, 0, 604800, "seconds 0..604800")},
        {"--password", "P", config_group, "login password: its first 8 bytes count", "none",
         parse_password},
        {"--state", "FILE", config_group,
         "saved settings: read at start, written by save;\n"
         "the start values below win over saved ones", "", file_name(&Options::state_file)},
        {"--reboot-ms", "N", config_group,
         "after \"S:save=1&reboot=1\" connections are\n"
         "refused for N ms", n(d.reboot_ms), number(&Options::reboot_ms, 0, 3600000, ms)},
        {"--ai-en", "MASK", config_group, "start value of ai_en on a 7301", n(fresh.ai_en),
         mask32(&Options::ai_en), Model::zrm7301},
        {"--tc-en", "MASK", config_group, "start value of tc_en on a 7303", n(fresh.tc_en),
         mask32(&Options::tc_en), Model::zrm7303},
        {"--range", "CH=CODE", config_group,
         "start range code 0..10 of AI channel CH 1..8\n"
         "(7301); sets ai_range_<CH-1> and ai_pl", n(fresh.ai_range[0]) + ", -10..10 V",
         parse_range, Model::zrm7301},
        {"--povp", "MASK", config_group, "start value of u8_povp, 0..255", n(fresh.u8_povp),
         number(&Options::povp, 0, 255, "u8_povp is 0..255")},
        {"--ai", "CH=VALUE", fixed_group,
         "AI channel CH 1..8 (7301), e.g. -12.5 or 3.25:\n"
         "sign, integer and fraction digits as written\n"
         "(12.50 is 12, 50)", "", parse_ai, Model::zrm7301},
        {"--tc", "CH=TEMP[,REF[,FAULTS]]", fixed_group,
         "TC channel CH 1..3 (7303); REF as TEMP with parts\n"
         "of at most 255 (default 25.0); FAULTS a byte such\n"
         "as 0x07: bit 0 open, bit 1 short to GND, bit 2\n"
         "short to VCC", "", parse_tc, Model::zrm7303},
        {"--di", "MASK", fixed_group, "digital inputs, bit 0 = input 1 (7302, 7303)", "", parse_di},
        {"--do", "MASK", fixed_group, "outputs at start, bit 0 = output 1", "u8_povp",
         number(&Options::do_mask, 0, 0xFF, "a mask 0..0xff")},
        {"--sensor", "REG=VALUE", fixed_group, "sensor register REG 0..23 (7302), VALUE 0..65535", "",
         parse_sensor, Model::zrm7302},
        {"--delay-ms", "N", fault_group, "delay every answer of both services by N ms", "",
         number(&Options::delay_ms, 0, 3600000, ms)},
        {"--exception", "CODE", fault_group, "answer every Modbus request with exception\nCODE 1..11", "",
         number(&Options::exception, 1, MODBUS_EXCEPTION_MAX - 1, "an exception code is 1..11")},
        {"--close-after", "N", fault_group,
         "close a connection after answering N requests\n"
         "(both services; the login line counts); 0 closes\n"
         "at once", "", number(&Options::close_after, 0, 1000000000, "a request count 0..1000000000")},
        {"--config-ignore", "KEY", fault_group,
         "give no answer to requests naming KEY; \"login\"\n"
         "is the login line, \"save\" the save line", "", parse_config_ignore},
        {"--slow-every", "K", fault_group,
         "with --delay-ms, hold back only every K-th\n"
         "answer of a connection", n(d.slow_every),
         number(&Options::slow_every, 1, 1000000, "an answer count 1..1000000")},
        {"--modules", "N", plant_group,
         "serve N modules alike on N consecutive\n"
         "addresses from --address, 1.." + std::to_string(max_modules), n(d.modules),
         number(&Options::modules, 1, max_modules, "a module count 1.." + std::to_string(max_modules)),
         std::nullopt, Reach::process},
        {"--plant", "FILE", plant_group,
         "serve the modules of FILE, one line each in\n"
         "the options' syntax; then only --verbose and\n"
         "--wall-clock go on the command line", "", file_name(&Options::plant_file), std::nullopt,
         Reach::process},
        {"--wall-clock", nullptr, plant_group,
         "live values at the seconds since the epoch\n"
         "(plus each module's offset) instead of since start", "", nullptr, std::nullopt,
         Reach::process, &Options::wall_clock},
        // Last, so that its group comes last in --help.
        {"-v,--verbose", nullptr, "Other", "log every request and answer on standard error", "", nullptr,
         std::nullopt, Reach::process, &Options::verbose},
    };
}

// Built once: a plant file's every line is parsed with it.
const std::vector<OptionEntry> &option_table()
{
    static const std::vector<OptionEntry> table = make_option_table();
    return table;
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

// The application, its options feeding g.
void describe(CLI::App &app, Given &g)
{
    app.footer(footer);
    app.formatter(std::make_shared<HelpFormat>());
    app.get_formatter()->column_width(26);
    for (const OptionEntry &entry : option_table()) {
        std::string help = entry.help;
        if (!entry.shown_default.empty()) {
            std::string note = "(default " + entry.shown_default + ")";
            auto last_line = help.size() - help.rfind('\n') - 1;
            help += (last_line + note.size() < 52 ? " " : "\n") + note;
        }
        if (entry.flag != nullptr) {
            app.add_flag(entry.name, g.o.*entry.flag, help)->disable_flag_override()->group(entry.group);
            continue;
        }
        auto take = [&g, name = std::string(entry.name), only = entry.only,
                     &parse = entry.parse](const std::string &v) {
            if (std::string why = parse(v, g); !why.empty())
                throw CLI::ValidationError(name + " " + v + ": " + why);
            if (only)
                g.model_only.emplace_back(name, *only);
        };
        // In command-line order, once per occurrence: repeated options add up,
        // and the last of a single one wins.
        app.add_option_function<std::string>(entry.name, take, help)
            ->trigger_on_parse()
            ->type_name(entry.value)
            ->group(entry.group);
    }
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

// Whether the option (by its long name) is one of the whole process: a
// plant file's lines cannot set them, and they are all that the command line
// takes beside --plant.
bool process_option(const std::string &name)
{
    for (const OptionEntry &entry : option_table()) {
        std::string_view names = entry.name;
        if (names.substr(names.rfind(',') + 1) == name)
            return entry.reach == Reach::process;
    }
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
    Given g{o};
    describe(app, g);
    return app.help();
}

const char *version_text()
{
    return "zrm-sim " ZRM_SIM_VERSION "\n";
}

ParseResult parse_options(int argc, char **argv, Options &o, std::string &message, OptionScope scope)
{
    CLI::App app("", "zrm-sim");
    Given g{o};
    describe(app, g);
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
    return check_model(g, message) ? ParseResult::run : ParseResult::error;
}

} // namespace zrmsim
