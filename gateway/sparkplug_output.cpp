#include "sparkplug_output.h"

#include "commands.h"
#include "log.h"
#include "log_limit.h"
#include "report_by_exception.h"
#include "sparkplug_metrics.h"

#include "kiv.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace gateway {

namespace {

using namespace sparkplug;

constexpr const char *rebirth_name = "Node Control/Rebirth";
constexpr std::uint64_t rebirth_alias = 1;
// A module's aliases: its slot's thousand, so that they stay unique across
// the node whatever its models.
constexpr std::uint64_t aliases_per_module = 1000;
// How often the backlog is replayed: its rate spread over the second.
constexpr std::chrono::milliseconds replay_every{50};
constexpr std::chrono::milliseconds maintain_every{1000};
// QoS 0 messages that the client may hold unwritten while the backlog
// goes out: a broker that reads slowly holds the replay back, not memory.
constexpr std::size_t replay_window = 1000;

std::uint64_t ms_since_epoch(std::chrono::system_clock::time_point t)
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

std::uint64_t now_ms()
{
    return ms_since_epoch(std::chrono::system_clock::now());
}

bool same_value(const Metric &a, const Metric &b, double deadband)
{
    if (a.is_null || b.is_null)
        return a.is_null == b.is_null;
    if (a.type == DataType::Double && std::holds_alternative<double>(a.value) &&
        std::holds_alternative<double>(b.value))
        return !moved(std::get<double>(a.value), std::get<double>(b.value), deadband);
    return a.value == b.value;
}

} // namespace

std::string sparkplug_store_path(const std::string &store_path)
{
    const std::string ext = ".db";
    if (store_path.size() > ext.size() && store_path.compare(store_path.size() - ext.size(), ext.size(), ext) == 0)
        return store_path.substr(0, store_path.size() - ext.size()) + "-sparkplug" + ext;
    return store_path + "-sparkplug";
}

SparkplugOutput::SparkplugOutput(const Config &c, Loop &loop)
    : config_(c), sp_(*c.sparkplug), loop_(loop), root_("spBv1.0/" + c.sparkplug->group_id + "/"),
      state_topic_(c.sparkplug->primary_host_id.empty() ? "" : "spBv1.0/STATE/" + c.sparkplug->primary_host_id),
      client_(*c.mqtt, c.mqtt->client_id + "-sparkplug", loop, *this), bdseq_(bdseq_path(c.sparkplug->state_file)),
      devices_(c.modules.size()), limit_(c.mqtt->queue_limit),
      replay_rate_(c.store ? c.store->replay_per_s : 500)
{
}

SparkplugOutput::~SparkplugOutput() = default;

std::string SparkplugOutput::topic(const char *type) const
{
    return root_ + type + "/" + sp_.edge_node_id;
}

std::string SparkplugOutput::device_topic(const char *type, std::size_t module) const
{
    return topic(type) + "/" + config_.modules[module].name;
}

std::uint64_t SparkplugOutput::alias(std::size_t module, std::size_t index) const
{
    return (module + 1) * aliases_per_module + index + 1;
}

std::uint64_t SparkplugOutput::next_seq()
{
    return seq_++;  // 255 wraps to 0
}

Payload SparkplugOutput::node_death() const
{
    Payload p;
    p.timestamp = now_ms();
    Metric bd;
    bd.name = "bdSeq";
    bd.type = DataType::UInt64;
    bd.value = std::uint64_t{bdseq_.current()};
    p.metrics.push_back(std::move(bd));
    return p;
}

void SparkplugOutput::use_store(std::unique_ptr<Store> s)
{
    store_ = std::move(s);
    maintain_at_ = Clock::now() + maintain_every;
    store_->maintain(std::chrono::system_clock::now());
}

void SparkplugOutput::start()
{
    client_.start({topic("NDEATH"), encode(node_death()), 1, false}, static_cast<unsigned>(replay_window));
    sync();
}

// The will of the next connection carries the bdSeq of its session.
void SparkplugOutput::connecting()
{
    client_.set_will({topic("NDEATH"), encode(node_death()), 1, false});
}

void SparkplugOutput::connected()
{
    client_accepted_ = true;
    client_.subscribe(topic("NCMD"), 1);
    client_.subscribe(topic("DCMD") + "/+", 1);
    if (state_topic_.empty()) {
        births(true);
        return;
    }
    // The retained STATE comes with the subscription.
    host_online_ = false;
    host_stamp_ = 0;
    client_.subscribe(state_topic_, 1);
    log(Level::info, "Sparkplug B: waiting for primary host " + sp_.primary_host_id + " to be online");
}

void SparkplugOutput::births(bool new_session)
{
    session_ = true;
    seq_ = 0;
    Payload p;
    p.timestamp = now_ms();
    p.seq = next_seq();
    p.metrics = node_death().metrics;
    Metric rebirth;
    rebirth.name = rebirth_name;
    rebirth.alias = rebirth_alias;
    rebirth.type = DataType::Boolean;
    rebirth.value = false;
    p.metrics.push_back(std::move(rebirth));
    send(topic("NBIRTH"), p);
    for (std::size_t m = 0; m < devices_.size(); ++m) {
        devices_[m].born = false;
        if (devices_[m].online && devices_[m].polled && !config_.modules[m].vacant())
            birth(m);
    }
    if (new_session) {
        log(Level::info, "Sparkplug B: edge node " + topic("NBIRTH") + " born, bdSeq " +
                             std::to_string(bdseq_.current()));
        replayed_up_to_ = 0;
        replay_at_ = Clock::now();
        replay_rate_.restart(replay_at_);
    }
    sync();
}

void SparkplugOutput::birth(std::size_t module)
{
    Device &d = devices_[module];
    Payload p;
    p.timestamp = now_ms();
    p.seq = next_seq();
    p.metrics = d.last;
    for (std::size_t i = 0; i < p.metrics.size(); ++i)
        p.metrics[i].alias = alias(module, i);
    send(device_topic("DBIRTH", module), p);
    d.born = true;
}

void SparkplugOutput::death(std::size_t module)
{
    Payload p;
    p.timestamp = now_ms();
    p.seq = next_seq();
    send(device_topic("DDEATH", module), p);
    devices_[module].born = false;
}

std::vector<Metric> SparkplugOutput::changes(std::size_t module, std::vector<Metric> now)
{
    Device &d = devices_[module];
    const double deadband = config_.modules[module].deadband;
    std::vector<Metric> changed;
    const bool all = !d.polled || d.last.size() != now.size();
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (!all && same_value(d.last[i], now[i], deadband))
            continue;
        Metric m = now[i];
        m.name.clear();
        m.properties.clear();
        m.alias = alias(module, i);
        changed.push_back(std::move(m));
        if (!all)
            d.last[i] = std::move(now[i]);
    }
    if (all)
        d.last = std::move(now);
    d.polled = true;
    return changed;
}

void SparkplugOutput::poll(const PollResult &r)
{
    if (r.code != KIV_OK || leaving_ || r.module >= devices_.size())
        return;
    Device &d = devices_[r.module];
    d.online = true;
    std::vector<Metric> now = module_metrics(config_.modules[r.module], r.image);
    if (session_ && !d.born) {
        d.last = std::move(now);
        d.polled = true;
        birth(r.module);
        return;
    }
    std::vector<Metric> changed = changes(r.module, std::move(now));
    if (changed.empty())
        return;
    if (session_)
        report(r.module, std::move(changed));
    else
        hold(r.module, std::move(changed));
}

void SparkplugOutput::report(std::size_t module, std::vector<Metric> changed)
{
    Payload p;
    p.timestamp = now_ms();
    p.seq = next_seq();
    p.metrics = std::move(changed);
    send(device_topic("DDATA", module), p);
}

// For the next session, as history: without a seq, which is given when it
// goes out.
void SparkplugOutput::hold(std::size_t module, std::vector<Metric> changed)
{
    Payload p;
    p.timestamp = now_ms();
    for (Metric &m : changed)
        m.historical = true;
    p.metrics = std::move(changed);
    Held h{device_topic("DDATA", module), encode(p)};
    if (store_ && store_->ok()) {
        const auto at = std::chrono::system_clock::now();
        if (store_->add(h.topic, h.payload, at) > 0) {
            store_dirty_ = true;
            return;
        }
    }
    if (held_.size() >= limit_) {
        if (held_.empty())
            return;
        held_.pop_front();
        if (lost_++ == 0)
            log(Level::warn, "Sparkplug B: no session for a while; the oldest values go past queue_limit " +
                                 std::to_string(limit_));
    }
    held_.push_back(std::move(h));
}

void SparkplugOutput::status(const StatusChange &s)
{
    if (s.module >= devices_.size())
        return;
    Device &d = devices_[s.module];
    d.online = s.online;
    if (s.online)
        return;
    if (session_ && d.born)
        death(s.module);
    d.born = false;
    // Back, it is born again with what it then holds.
    d.polled = false;
}

// The state read back goes out at once, rather than with the next poll.
void SparkplugOutput::command_result(const CommandResult &c)
{
    if (c.code != KIV_OK || c.module >= devices_.size() || !devices_[c.module].polled)
        return;
    std::vector<Metric> now = devices_[c.module].last;
    const std::string name = "do/" + std::to_string(c.channel);
    for (Metric &m : now)
        if (m.name == name) {
            m.value = c.on;
            m.timestamp = now_ms();
        }
    std::vector<Metric> changed = changes(c.module, std::move(now));
    if (changed.empty())
        return;
    if (session_ && devices_[c.module].born)
        report(c.module, std::move(changed));
    else
        hold(c.module, std::move(changed));
}

void SparkplugOutput::modules_changed(const ModulesChanged &m)
{
    auto forget = [&](std::size_t slot) {
        if (slot < devices_.size() && session_ && devices_[slot].born) {
            Payload p;
            p.timestamp = now_ms();
            p.seq = next_seq();
            send(topic("DDEATH") + "/" + m.before[slot].name, p);
        }
        if (slot < devices_.size())
            devices_[slot] = Device{};
    };
    for (std::size_t slot : m.removed)
        forget(slot);
    for (std::size_t slot : m.changed)
        forget(slot);
    devices_.resize(m.modules.size());
    for (std::size_t slot : m.added)
        devices_[slot] = Device{};
}

void SparkplugOutput::send(const std::string &t, const Payload &p, std::int64_t row)
{
    send_bytes(t, encode(p), row);
}

void SparkplugOutput::send_bytes(const std::string &t, const std::string &bytes, std::int64_t row)
{
    int mid = 0;
    bool written = false;
    if (!client_.publish(t, bytes, 0, false, &mid, &written)) {
        // Only while the connection goes: the next session births again.
        ++lost_;
        return;
    }
    if (written) {
        if (row > 0) {
            store_->remove(row);
            store_dirty_ = true;
        }
        return;
    }
    unwritten_[mid] = row;
}

void SparkplugOutput::published(int mid)
{
    if (const auto it = unwritten_.find(mid); it != unwritten_.end()) {
        if (it->second > 0) {
            store_->remove(it->second);
            store_dirty_ = true;
        }
        unwritten_.erase(it);
    }
    if (leaving_ && mid == death_mid_)
        finish();
    // The broker has the NDEATH: the clean disconnect cannot overtake it.
    if (mid == restart_mid_) {
        restart_mid_ = -1;
        client_.restart();
    }
}

void SparkplugOutput::replay(Clock::time_point now)
{
    replay_at_ = now + replay_every;
    const std::size_t room = replay_window > unwritten_.size() ? replay_window - unwritten_.size() : 0;
    std::size_t n = std::min(room, replay_rate_.available(now));
    bool more = true;
    if (store_ && n > 0) {
        const std::vector<Store::Row> rows = store_->after(replayed_up_to_, n);
        more = rows.size() == n;
        for (const Store::Row &r : rows) {
            replayed_up_to_ = r.id;
            send_bytes(r.topic, with_seq(r.payload, next_seq()), r.id);
        }
        replay_rate_.spend(rows.size());
        n -= rows.size();
    }
    for (; n > 0 && !held_.empty(); --n) {
        send_bytes(held_.front().topic, with_seq(std::move(held_.front().payload), next_seq()));
        held_.pop_front();
        replay_rate_.spend(1);
    }
    if (!more && held_.empty())
        replay_at_ = Clock::time_point::max();
}

void SparkplugOutput::disconnected(int)
{
    const bool had = client_accepted_;
    client_accepted_ = false;
    restart_mid_ = -1;
    session_ = false;
    for (Device &d : devices_)
        d.born = false;
    std::size_t lost = 0;
    for (const auto &[mid, row] : unwritten_)
        if (row == 0)
            ++lost;
    unwritten_.clear();
    if (lost > 0)
        log(Level::warn, "Sparkplug B: " + std::to_string(lost) + " messages were lost with the connection");
    replay_at_ = Clock::time_point::max();
    // A new session takes a new bdSeq.
    if (had)
        bdseq_.advance();
    if (leaving_)
        finish();
    sync();
}

void SparkplugOutput::message(const std::string &t, std::string_view payload)
{
    if (!state_topic_.empty() && t == state_topic_)
        return state(payload);
    const std::string dcmd = topic("DCMD") + "/";
    const bool node = t == topic("NCMD");
    if (!node && t.rfind(dcmd, 0) != 0)
        return;
    const std::optional<Payload> p = decode(payload);
    if (!p)
        return refuse(t, "not a Sparkplug B payload");
    if (node)
        node_command(*p);
    else
        device_command(std::string_view(t).substr(dcmd.size()), *p, t);
}

// {"online":true|false,"timestamp":<ms>}: an older one than the last is
// left alone, as one retained from before may arrive after a newer one.
void SparkplugOutput::state(std::string_view payload)
{
    const nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("online") || !j["online"].is_boolean()) {
        log_limited(Level::warn, "Sparkplug STATE", "Sparkplug B: STATE of " + sp_.primary_host_id +
                                                        " without \"online\" true or false; ignored");
        return;
    }
    std::uint64_t stamp = 0;
    if (j.contains("timestamp") && j["timestamp"].is_number_unsigned())
        stamp = j["timestamp"].get<std::uint64_t>();
    if (stamp < host_stamp_)
        return;
    host_stamp_ = stamp;
    host_online_ = j["online"].get<bool>();
    if (host_online_ && !session_ && client_.connected()) {
        births(true);
    } else if (!host_online_ && session_) {
        // Away from a host that is not there: the NDEATH first, then a
        // clean disconnect, and a new session once it is back.
        log(Level::warn, "Sparkplug B: primary host " + sp_.primary_host_id + " is offline; leaving the session");
        session_ = false;
        if (!client_.publish(topic("NDEATH"), encode(node_death()), 1, false, &restart_mid_))
            client_.restart();
    }
}

void SparkplugOutput::node_command(const Payload &p)
{
    bool rebirth = false;
    for (const Metric &m : p.metrics) {
        const bool is_rebirth = m.name == rebirth_name || (m.name.empty() && m.alias == rebirth_alias);
        if (!is_rebirth || !std::holds_alternative<bool>(m.value) || m.is_null)
            return refuse(topic("NCMD"), "only \"" + std::string(rebirth_name) + "\" (Boolean) is taken");
        rebirth = rebirth || std::get<bool>(m.value);
    }
    if (rebirth && session_) {
        log(Level::info, "Sparkplug B: rebirth asked for");
        births(false);
    }
}

void SparkplugOutput::device_command(std::string_view device, const Payload &p, const std::string &t)
{
    std::size_t module = devices_.size();
    for (std::size_t i = 0; i < config_.modules.size(); ++i)
        if (!config_.modules[i].vacant() && config_.modules[i].name == device)
            module = i;
    if (module == devices_.size())
        return refuse(t, "no such module");
    // All checked before any is written: a command half refused writes
    // nothing.
    std::vector<OutputCommand> writes;
    for (const Metric &m : p.metrics) {
        std::string name = m.name;
        if (name.empty()) {
            const std::vector<Metric> &last = devices_[module].last;
            const std::uint64_t first = alias(module, 0);
            if (m.alias >= first && m.alias - first < last.size())
                name = last[static_cast<std::size_t>(m.alias - first)].name;
        }
        if (name.rfind("do/", 0) != 0 || !std::holds_alternative<bool>(m.value) || m.is_null)
            return refuse(t, "only do/<n> (Boolean) is written, not \"" +
                                 (name.empty() ? "alias " + std::to_string(m.alias) : name) + "\"");
        auto parsed = parse_command(config_, device, std::string_view(name).substr(3),
                                    std::get<bool>(m.value) ? "on" : "off");
        if (auto *why = std::get_if<std::string>(&parsed))
            return refuse(t, *why);
        writes.push_back(std::get<OutputCommand>(parsed));
    }
    if (!commands_)
        return refuse(t, "commands are not taken");
    for (const OutputCommand &c : writes)
        commands_(c);
}

void SparkplugOutput::refuse(const std::string &t, const std::string &why)
{
    // Anyone who may publish can send these by the thousand.
    log_limited(Level::warn, "Sparkplug commands refused", "Sparkplug B command on " + t + " refused: " + why);
}

void SparkplugOutput::flush()
{
    if (store_dirty_ && store_) {
        store_dirty_ = false;
        store_->commit();
    }
    client_.flush();
    sync();
}

void SparkplugOutput::leave(Clock::time_point deadline, std::function<void()> done)
{
    leaving_ = true;
    leave_by_ = deadline;
    done_ = std::move(done);
    replay_at_ = Clock::time_point::max();
    if (!client_.connected()) {
        finish();
        return;
    }
    // Leaving on purpose, the node says so itself (QoS 1), then disconnects
    // cleanly; without it in time, the will says the same.
    int mid = 0;
    if (!client_.publish(topic("NDEATH"), encode(node_death()), 1, false, &mid)) {
        finish();
        return;
    }
    death_mid_ = mid;
    sync();
}

void SparkplugOutput::finish()
{
    if (!done_)
        return;
    auto done = std::move(done_);
    done_ = nullptr;
    if (store_dirty_ && store_) {
        store_dirty_ = false;
        store_->commit();
    }
    session_ = false;
    client_.quit(std::move(done));
}

void SparkplugOutput::sync()
{
    Clock::time_point t = replay_at_;
    if (store_ && maintain_at_ < t)
        t = maintain_at_;
    if (leaving_ && leave_by_ < t)
        t = leave_by_;
    alarm_.at(t);
}

void SparkplugOutput::expired(std::uint64_t tag)
{
    if (!alarm_.fired(tag))
        return;
    const auto now = Clock::now();
    if (leaving_ && now >= leave_by_) {
        finish();
        return;
    }
    if (now >= replay_at_ && session_)
        replay(now);
    if (store_ && now >= maintain_at_) {
        maintain_at_ = now + maintain_every;
        store_->maintain(std::chrono::system_clock::now());
    }
    client_.flush();
    sync();
}

} // namespace gateway
