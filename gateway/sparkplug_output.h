// The gateway as a Sparkplug B edge node, on a connection of its own to the
// [mqtt] broker (its will is the NDEATH, which a second output cannot share):
// spBv1.0/<group_id>/<NBIRTH|NDEATH|NDATA|NCMD|DBIRTH|DDEATH|DDATA|DCMD>/
// <edge_node_id>[/<module>], each module a device.
//
// A session is one connection: its NDEATH (the will) and NBIRTH carry the
// same bdSeq, one more than the last session's, kept across restarts.
// NBIRTH has seq 0; each later message one more, wrapping after 255. A
// module's DBIRTH lists every metric it will send, with aliases unique
// across the node; its DDATA carry only what changed (beyond the module's
// deadband), by alias. With a primary host, births wait for its STATE to say
// online, and the node leaves when it says offline.
//
// What polls find while there is no session goes out after the next
// births as historical DDATA: in the store when there is one, in memory
// (within queue_limit) otherwise.
#pragma once

#include "bdseq_file.h"
#include "config.h"
#include "loop.h"
#include "mqtt_client.h"
#include "pipeline.h"
#include "sparkplug_payload.h"
#include "store.h"
#include "token_bucket.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace gateway {

// The store of what no session took, beside the JSON output's:
// "store.db" gives "store-sparkplug.db".
std::string sparkplug_store_path(const std::string &store_path);

class SparkplugOutput final : public Output, public MqttClient::Events, public TimerTarget {
public:
    SparkplugOutput(const Config &c, Loop &loop);
    ~SparkplugOutput() override;
    SparkplugOutput(const SparkplugOutput &) = delete;
    SparkplugOutput &operator=(const SparkplugOutput &) = delete;

    // Before start: takes the DCMD writes to outputs, checked, on the
    // loop's thread.
    void take_commands(std::function<void(const OutputCommand &)> h) { commands_ = std::move(h); }
    // Before start: what no session could take waits in this store (which
    // outlives this) rather than in memory.
    void use_store(std::unique_ptr<Store> s);

    // As MqttOutput::start.
    void start();
    // On the loop's thread: an NDEATH, a clean disconnect once the broker
    // has it, then done(); done() by the deadline in any case.
    void leave(Clock::time_point deadline, std::function<void()> done);

    void poll(const PollResult &r) override;
    void status(const StatusChange &s) override;
    void command_result(const CommandResult &c) override;
    void modules_changed(const ModulesChanged &m) override;
    void flush() override;

    void connecting() override;
    void connected() override;
    void disconnected(int rc) override;
    void published(int mid) override;
    void message(const std::string &topic, std::string_view payload) override;

    void expired(std::uint64_t tag) override;
    bool wanted(std::uint64_t tag) const override { return alarm_.wanted(tag); }

private:
    // What the node knows of one module.
    struct Device {
        bool online = false;
        bool born = false;                     // its DBIRTH went out in this session
        std::vector<sparkplug::Metric> last;   // as last reported, or polled without a session
        bool polled = false;                   // last holds a poll's values
    };
    struct Held {
        std::string topic;
        std::string payload;  // historical DDATA without its seq
    };

    std::string topic(const char *type) const;
    std::string device_topic(const char *type, std::size_t module) const;
    std::uint64_t alias(std::size_t module, std::size_t index) const;
    std::uint64_t next_seq();
    sparkplug::Payload node_death() const;

    // NBIRTH and the DBIRTH of every module online; a new session also
    // starts the replay of what waited for it.
    void births(bool new_session);
    void birth(std::size_t module);
    void death(std::size_t module);
    // The metrics of now that differ from what was last reported, which
    // they replace.
    std::vector<sparkplug::Metric> changes(std::size_t module, std::vector<sparkplug::Metric> now);
    void report(std::size_t module, std::vector<sparkplug::Metric> changed);
    void hold(std::size_t module, std::vector<sparkplug::Metric> changed);
    // QoS 0, as every Sparkplug B message but the NDEATH; row is the stored
    // one that leaves the store once written.
    void send(const std::string &topic, const sparkplug::Payload &p, std::int64_t row = 0);
    void send_bytes(const std::string &topic, const std::string &bytes, std::int64_t row = 0);
    void replay(Clock::time_point now);
    void state(std::string_view payload);
    void node_command(const sparkplug::Payload &p);
    void device_command(std::string_view device, const sparkplug::Payload &p, const std::string &topic);
    void refuse(const std::string &topic, const std::string &why);
    void finish();
    void sync();

    const Config &config_;
    SparkplugConfig sp_;
    Loop &loop_;
    std::string root_;         // "spBv1.0/<group_id>/"
    std::string state_topic_;  // "spBv1.0/STATE/<primary_host_id>"
    MqttClient client_;
    BdSeqFile bdseq_;
    std::function<void(const OutputCommand &)> commands_;
    std::vector<Device> devices_;

    bool client_accepted_ = false;  // this connection got its CONNACK
    bool session_ = false;     // NBIRTH sent on this connection
    bool host_online_ = false; // the primary host's last STATE
    std::uint64_t host_stamp_ = 0;
    std::uint8_t seq_ = 0;

    // What waits for the next session.
    std::unique_ptr<Store> store_;
    bool store_dirty_ = false;
    std::deque<Held> held_;
    std::size_t limit_;
    std::int64_t replayed_up_to_ = 0;
    TokenBucket replay_rate_;
    Clock::time_point replay_at_ = Clock::time_point::max();
    // QoS 0 messages the client has not written yet, with their stored row
    // (0 for none): a lost connection loses them, and the row stays.
    std::unordered_map<int, std::int64_t> unwritten_;
    std::uint64_t lost_ = 0;
    Clock::time_point maintain_at_ = Clock::time_point::max();

    bool leaving_ = false;
    int death_mid_ = -1;
    int restart_mid_ = -1;     // the NDEATH before leaving an offline host
    Clock::time_point leave_by_ = Clock::time_point::max();
    std::function<void()> done_;
    Alarm alarm_{loop_, *this};
};

} // namespace gateway
