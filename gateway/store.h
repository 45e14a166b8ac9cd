// Store-and-forward on disk: every values message is written to an SQLite
// database before it is handed to the MQTT client, and deleted only once the
// broker has taken it, so that neither a broker that is away nor a crash or
// restart of the gateway loses a poll. One connection, on the loop's thread;
// a thread of its own checkpoints the write-ahead log, which makes what was
// committed durable against a power cut within sync_every.
//
// The gateway's runs are numbered here: a message names its run beside its
// seq, so that a subscriber tells a duplicate (the same run and seq again)
// from a gap.
#pragma once

#include "config.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace gateway {

enum class StoreDrop { size, age, error };
inline constexpr std::size_t store_drop_reasons = 3;
const char *store_drop_name(StoreDrop r);
// The folder that holds path: "." for a bare name.
std::string store_folder(const std::string &path);

// The store at one moment, for the metrics.
struct StoreFigures {
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;           // pages in use
    double oldest_age_s = 0;           // 0 when empty
    std::array<std::uint64_t, store_drop_reasons> dropped{};
};

class Store {
public:
    using SystemClock = std::chrono::system_clock;
    // A power cut loses at most what was committed in this time before it
    // (and what the checkpoint's own sync is still writing).
    static constexpr std::chrono::milliseconds sync_every{250};
    // After a failure (a full disk, an I/O error) the store is tried again.
    static constexpr std::chrono::seconds retry_after{30};

    struct Row {
        std::int64_t id = 0;
        std::string topic;
        std::string payload;
    };

    // Opens or makes the store; ConfigError when another process holds it
    // or it cannot be made. A file that is not a database, or is
    // corrupt, is moved aside to "<path>.corrupt-<time>" and a new one made.
    static std::unique_ptr<Store> open(const StoreConfig &c);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // This run's number: one more than the last run's.
    std::uint64_t run() const { return run_; }
    // False after a failure, until a retry succeeds: values then go to the
    // broker without the store.
    bool ok() const { return db_ != nullptr; }

    // The new row's id, or 0 when the store failed (the message is counted
    // as an error).
    std::int64_t add(const std::string &topic, const std::string &payload, SystemClock::time_point at);
    void remove(std::int64_t id);
    // Makes what was added and removed since the last commit survive a
    // crash of the gateway; false when the store failed, and what was added
    // since is not kept.
    bool commit();
    // Messages that went to the broker without the store, which had failed.
    void not_kept(std::uint64_t n) { count_drops(StoreDrop::error, n); }
    // Up to n rows after the id, oldest first.
    std::vector<Row> after(std::int64_t id, std::size_t n);

    // About once a second: drops what is past max_bytes and max_age
    // (logged once per episode), tries a failed store again, and takes the
    // figures.
    void maintain(SystemClock::time_point now);
    StoreFigures figures() const { return figures_; }

private:
    enum class Opened { ok, corrupt, failed };

    explicit Store(const StoreConfig &c) : c_(c) {}
    // The file, moved aside when corrupt.
    Opened open_db(std::string &error);
    Opened open_file(std::string &error);
    void close_db();
    bool exec(const char *sql);
    bool prepare();
    void failed(const char *what);
    void drop_oldest(StoreDrop why, std::uint64_t n);
    void count_drops(StoreDrop why, std::uint64_t n);
    bool begin();
    std::int64_t number(const char *sql);
    // The bytes of the pages in use: the file keeps freed ones for reuse.
    std::uint64_t used_bytes();
    void checkpoints();

    const StoreConfig c_;
    int lock_fd_ = -1;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr, *erase_ = nullptr, *select_ = nullptr;
    bool in_transaction_ = false;
    std::uint64_t run_ = 0;
    std::uint64_t messages_ = 0;
    StoreFigures figures_;
    SystemClock::time_point retry_at_{};
    bool dropping_ = false;            // this episode of drops was logged

    // The checkpointing thread and what it needs.
    std::mutex mu_;
    std::condition_variable cv_;
    bool quit_ = false;
    std::atomic<bool> committed_{false};
    std::thread checkpointer_;
};

} // namespace gateway
