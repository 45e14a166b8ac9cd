#include "mqtt_output.h"

#include "commands.h"
#include "log.h"
#include "log_limit.h"
#include "metrics.h"
#include "payload.h"

#include "kiv.hpp"

#include <algorithm>

namespace gateway {

namespace {

const std::string online_text = "online";
const std::string offline_text = "offline";

// How long the first values of a batch wait for the commit that puts them
// on disk: one commit for many messages costs far less than one each.
constexpr std::chrono::milliseconds commit_every{10};
// How often the backlog is replayed: its rate spread over the second.
constexpr std::chrono::milliseconds replay_every{50};
// How often the store is looked after.
constexpr std::chrono::milliseconds maintain_every{1000};
// Publishes in flight at once (QoS 1): enough that a broker's round trip
// never holds the values of a busy turn back.
constexpr int max_inflight = 1000;

// The client's window of messages in flight, within the bound on all that
// waits; a bound of 0 (nothing kept while the broker is away) still lets
// one through at a time.
std::size_t window_for(std::size_t limit)
{
    return std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(max_inflight), limit));
}

} // namespace

MqttOutput::MqttOutput(const Config &c, Loop &loop, Metrics *metrics)
    : config_(c), mqtt_(*c.mqtt), loop_(loop), metrics_(metrics), root_("kiv/" + c.id + "/"),
      client_(*c.mqtt, c.mqtt->client_id, loop, *this), limit_(c.mqtt->queue_limit),
      window_(window_for(c.mqtt->queue_limit)), statuses_(c.modules.size(), -1), filters_(c.modules),
      replay_rate_(c.store ? c.store->replay_per_s : 0)
{
    if (metrics_)
        metrics_->broker_connected(false);
}

MqttOutput::~MqttOutput() = default;

void MqttOutput::start()
{
    // Whoever watches the gateway learns that it died from the broker.
    client_.start({root_ + "status", offline_text, 1, true}, static_cast<unsigned>(window_));
    sync();
}

void MqttOutput::disconnected(int)
{
    connected_ = false;
    if (!unwritten_.empty()) {
        in_client_ -= std::min(in_client_, unwritten_.size());
        // A stored one is not lost: it stays in the store and is replayed.
        std::size_t lost = 0;
        for (int mid : unwritten_)
            if (!stored_mids_.count(mid))
                ++lost;
            else
                forget_stored(mid, false);
        drop(DropReason::disconnected, lost);
        unwritten_.clear();
    }
    replay_at_ = Clock::time_point::max();
    if (metrics_)
        metrics_->broker_connected(false);
    if (leaving_)
        finish();
    sync();
}

void MqttOutput::flush()
{
    if (store_ && Clock::now() >= commit_at_)
        hand_fresh();
    client_.flush();
    sync();
}

void MqttOutput::sync()
{
    Clock::time_point t = maintain_at_;
    if (replay_at_ < t)
        t = replay_at_;
    if (commit_at_ < t)
        t = commit_at_;
    if (leaving_ && leave_by_ < t)
        t = leave_by_;
    alarm_.at(t);
}


void MqttOutput::expired(std::uint64_t tag)
{
    if (!alarm_.fired(tag))
        return;
    const auto now = Clock::now();
    if (leaving_ && now >= leave_by_) {
        finish();
        return;
    }
    if (store_ && now >= commit_at_)
        hand_fresh();
    if (now >= replay_at_)
        replay(now);
    if (store_ && now >= maintain_at_) {
        maintain_at_ = now + maintain_every;
        store_->maintain(std::chrono::system_clock::now());
        if (metrics_)
            metrics_->store(store_->figures());
    }
    client_.flush();
    sync();
}

void MqttOutput::poll(const PollResult &r)
{
    // Only what is published goes to the store.
    if (r.code != KIV_OK || !filters_.publish(r))
        return;
    const std::string &name = config_.modules[r.module].name;
    std::string topic = root_ + name + "/values";
    std::string payload = values_json(name, r.seq, r.image, store_ ? store_->run() : 0);
    // A failed store counts what goes on without it.
    if (store_)
        if (const std::int64_t row = store_->add(topic, payload, r.image.time); row > 0) {
            if (fresh_.empty())
                commit_at_ = Clock::now() + commit_every;
            fresh_.push_back({row, std::move(topic), std::move(payload)});
            return;
        }
    send(std::move(topic), std::move(payload));
}

// The turn's values are on disk before any of them goes to the client;
// what has no room now is replayed later.
void MqttOutput::hand_fresh()
{
    commit_at_ = Clock::time_point::max();
    if (!store_->commit()) {
        store_->not_kept(fresh_.size());
        for (Fresh &f : fresh_)
            send(std::move(f.topic), std::move(f.payload));
        fresh_.clear();
        return;
    }
    for (const Fresh &f : fresh_)
        if (connected_ && in_client_ < window_)
            hand_stored(f.row, f.topic, f.payload);
    fresh_.clear();
}

void MqttOutput::hand_stored(std::int64_t row, const std::string &topic, const std::string &payload)
{
    int mid = 0;
    bool written = false;
    if (!publish(topic, payload, false, mqtt_.qos, &mid, &written))
        return;
    // At QoS 0 the client may have written it already, inside the call.
    if (written) {
        store_->remove(row);
        return;
    }
    stored_mids_[mid] = row;
    stored_rows_.insert(row);
}

// A stored message the client is done with: taken by the broker (the row
// goes), or lost with the connection (the row stays for the replay).
void MqttOutput::forget_stored(int mid, bool written)
{
    const auto it = stored_mids_.find(mid);
    if (it == stored_mids_.end())
        return;
    if (written)
        store_->remove(it->second);
    stored_rows_.erase(it->second);
    stored_mids_.erase(it);
}

void MqttOutput::replay(Clock::time_point now)
{
    replay_at_ = now + replay_every;
    // Half the window at most: the live values always find room.
    const std::size_t half = window_ / 2 + 1;
    std::size_t n = std::min(half > in_client_ ? half - in_client_ : 0, replay_rate_.available(now));
    if (n == 0)
        return;
    for (const Store::Row &r : store_->after(replayed_up_to_, n + stored_rows_.size())) {
        // This turn's rows are not committed yet: they go at its end.
        if (n == 0 || !connected_ || (!fresh_.empty() && r.id >= fresh_.front().row))
            break;
        replayed_up_to_ = r.id;
        if (stored_rows_.count(r.id))
            continue;
        std::string payload = r.payload;
        if (!payload.empty() && payload.back() == '}')
            payload.insert(payload.size() - 1, R"(,"replayed":true)");
        hand_stored(r.id, r.topic, payload);
        --n;
        replay_rate_.spend(1);
    }
}

void MqttOutput::status(const StatusChange &s)
{
    statuses_[s.module] = s.online;
    filters_.status(s);
    // Only the last status of a module counts: with the client full, they
    // all go again once it has room.
    if (connected_ && in_client_ < window_)
        publish(root_ + config_.modules[s.module].name + "/status", s.online ? online_text : offline_text, true, 1);
    else if (connected_)
        statuses_stale_ = true;
}

void MqttOutput::command_result(const CommandResult &c)
{
    std::string topic = root_ + config_.modules[c.module].name + "/do/" + std::to_string(c.channel);
    if (c.code == KIV_OK) {
        send(std::move(topic), c.on ? "on" : "off");
        return;
    }
    topic += "/error";
    send(std::move(topic), kiv::result_name(c.code));
}

// Retained: whoever subscribes later learns what the module was last given.
void MqttOutput::settings(const SettingsReport &s)
{
    send(root_ + config_.modules[s.module].name + "/settings", s.json, true);
}

void MqttOutput::send(std::string topic, std::string payload, bool retain)
{
    if (connected_ && queue_.empty() && in_client_ < window_ && publish(topic, payload, retain, mqtt_.qos))
        return;
    if (queue_.size() + in_client_ >= limit_) {
        if (queue_.empty()) {
            drop(DropReason::queue_full, 1);
            return;
        }
        queue_.pop_front();
        drop(DropReason::queue_full, 1);
    }
    queue_.push_back({std::move(topic), std::move(payload), retain});
}

void MqttOutput::drop(DropReason why, std::uint64_t n)
{
    if (n == 0)
        return;
    dropped_[static_cast<std::size_t>(why)] += n;
    if (metrics_)
        metrics_->values_dropped(why, n);
    if (why == DropReason::disconnected)
        log(Level::warn, std::to_string(n) + " QoS 0 messages were lost with the connection to broker " + client_.broker());
    if (why != DropReason::queue_full)
        return;
    // Once per episode: the first drop says so, the end of it how many.
    if (episode_dropped_ == 0)
        log(Level::warn, "broker " + client_.broker() + " does not take messages as fast as they come: the oldest go past " +
                             "queue_limit " + std::to_string(mqtt_.queue_limit));
    episode_dropped_ += n;
}

std::uint64_t MqttOutput::dropped() const
{
    std::uint64_t n = 0;
    for (auto d : dropped_)
        n += d;
    return n;
}

bool MqttOutput::publish(const std::string &topic, const std::string &payload, bool retain, int qos, int *mid,
                         bool *written)
{
    // Counted before the call: the client may report the message written
    // (published()) before it returns.
    ++in_client_;
    int id = 0;
    bool at_once = false;
    if (!client_.publish(topic, payload, qos, retain, &id, &at_once)) {
        --in_client_;
        return false;
    }
    if (qos == 0 && !at_once)
        unwritten_.insert(id);
    if (mid)
        *mid = id;
    if (written)
        *written = at_once;
    return true;
}

// What waited for the broker, in order, as far as the client has room.
void MqttOutput::publish_queued()
{
    if (!connected_)
        return;
    if (statuses_stale_ && in_client_ + statuses_.size() <= window_) {
        statuses_stale_ = false;
        publish_statuses();
    }
    while (!queue_.empty() && in_client_ < window_ &&
           publish(queue_.front().topic, queue_.front().payload, queue_.front().retain, mqtt_.qos))
        queue_.pop_front();
    if (episode_dropped_ > 0 && queue_.empty()) {
        log(Level::warn, "broker " + client_.broker() + " takes messages again; " + std::to_string(episode_dropped_) +
                             " were dropped past queue_limit");
        episode_dropped_ = 0;
    }
}

void MqttOutput::use_store(Store &s)
{
    store_ = &s;
    maintain_at_ = Clock::now() + maintain_every;
    store_->maintain(std::chrono::system_clock::now());
    if (metrics_)
        metrics_->store(store_->figures());
}

void MqttOutput::announce(std::vector<Retained> messages)
{
    for (const Retained &old : announce_)
        if (std::none_of(messages.begin(), messages.end(), [&](const Retained &r) { return r.topic == old.topic; }))
            owed_.push_back({old.topic, ""});
    announce_ = std::move(messages);
    if (!connected_)
        return;
    for (const Retained &r : announce_)
        publish(r.topic, r.payload, true, 1);
    publish_owed();
}

void MqttOutput::publish_owed()
{
    for (const Retained &r : owed_)
        publish(r.topic, r.payload, true, 1);
    owed_.clear();
}

void MqttOutput::subscribe_commands()
{
    const bool wanted = commands_ && std::any_of(config_.modules.begin(), config_.modules.end(),
                                                 [](const ModuleConfig &m) { return m.commands; });
    if (!wanted || subscribed_)
        return;
    subscribed_ = client_.subscribe(root_ + "+/do/+/set", 1);
}

void MqttOutput::modules_changed(const ModulesChanged &m)
{
    filters_.modules_changed(m);
    statuses_.resize(m.modules.size(), -1);
    // A removed module is stopped as at the gateway's stop: whoever
    // watches it learns so.
    for (std::size_t slot : m.removed) {
        if (statuses_[slot] >= 0)
            owed_.push_back({root_ + m.before[slot].name + "/status", offline_text});
        statuses_[slot] = -1;
    }
    for (std::size_t slot : m.added)
        statuses_[slot] = -1;
    if (connected_) {
        publish_owed();
        subscribe_commands();
    }
}

void MqttOutput::publish_statuses()
{
    for (std::size_t i = 0; i < statuses_.size(); ++i)
        if (statuses_[i] >= 0)
            publish(root_ + config_.modules[i].name + "/status", statuses_[i] ? online_text : offline_text, true, 1);
}

void MqttOutput::leave(Clock::time_point deadline, std::function<void()> done)
{
    if (store_)
        hand_fresh();
    leaving_ = true;
    maintain_at_ = Clock::time_point::max();
    leave_by_ = deadline;
    done_ = std::move(done);
    if (!connected_) {
        finish();
        return;
    }
    publish_queued();
    for (int &s : statuses_)
        if (s >= 0)
            s = 0;
    const std::size_t before = in_client_;
    publish_statuses();
    // The broker acknowledges in order: once the last is taken, all are.
    // Without it in time the will says "offline" all the same.
    const bool handed = publish(root_ + "status", offline_text, true, 1, &last_mid_);
    goodbyes_ = in_client_ - before;
    if (!handed) {
        finish();
        return;
    }
    sync();
}

void MqttOutput::finish()
{
    if (!done_)
        return;
    auto done = std::move(done_);
    done_ = nullptr;
    // Acknowledged in order: what the client still holds beyond the
    // goodbyes published last is values the broker never took.
    // A stored one stays in the store for the next run.
    const std::size_t kept = std::min(in_client_, goodbyes_ + stored_mids_.size());
    drop(DropReason::stopped, queue_.size() + (in_client_ - kept));
    queue_.clear();
    in_client_ = 0;
    connected_ = false;
    // A clean disconnect: the broker drops the will.
    client_.quit(std::move(done));
}

void MqttOutput::connected()
{
    connected_ = true;
    if (metrics_)
        metrics_->broker_connected(true);
    publish(root_ + "status", online_text, true, 1);
    publish_statuses();
    for (const Retained &r : announce_)
        publish(r.topic, r.payload, true, 1);
    publish_owed();
    if (store_) {
        // Everything in the store that the client does not hold, again
        // from its oldest.
        replayed_up_to_ = 0;
        replay_at_ = Clock::now();
        replay_rate_.restart(replay_at_);
    }
    subscribed_ = false;
    subscribe_commands();
    publish_queued();
    sync();
}

// Written (QoS 0) or acknowledged (QoS 1): room for what waits.
void MqttOutput::published(int mid)
{
    unwritten_.erase(mid);
    forget_stored(mid, true);
    if (in_client_ > 0)
        --in_client_;
    if (leaving_) {
        if (mid == last_mid_)
            finish();
        return;
    }
    // Inside publish() its caller goes on with the queue itself.
    if (!client_.publishing())
        publish_queued();
}

void MqttOutput::message(const std::string &topic, std::string_view body)
{
    const std::string payload(body);
    auto refuse = [&](const std::string &why) {
        // Anyone who may publish can send these by the thousand.
        log_limited(Level::warn, "commands refused",
                    "command " + topic + " \"" + payload.substr(0, 32) + "\" refused: " + why);
    };
    if (!commands_ || topic.rfind(root_, 0) != 0)
        return refuse("not a command topic of this gateway");
    // "<module>/do/<channel>/set"
    const std::string_view rest = std::string_view(topic).substr(root_.size());
    const auto slash = rest.find('/');
    const std::string_view module = rest.substr(0, slash);
    const std::string_view tail = slash == std::string_view::npos ? "" : rest.substr(slash);
    if (tail.rfind("/do/", 0) != 0 || tail.size() < 9 || tail.substr(tail.size() - 4) != "/set")
        return refuse("not <module>/do/<channel>/set");
    auto parsed = parse_command(config_, module, tail.substr(4, tail.size() - 8), payload);
    if (auto *why = std::get_if<std::string>(&parsed))
        return refuse(*why);
    commands_(std::get<OutputCommand>(parsed));
}

} // namespace gateway
