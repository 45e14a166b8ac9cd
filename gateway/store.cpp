#include "store.h"

#include "log.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace gateway {

namespace {

const char *const schema = "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, ts INTEGER NOT NULL, "
                           "topic TEXT NOT NULL, payload BLOB NOT NULL);"
                           "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";

std::int64_t epoch_ms(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// "20261210T091503Z"
std::string stamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    ::gmtime_r(&now, &t);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &t);
    return text;
}

bool corrupt(int rc)
{
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

} // namespace

const char *store_drop_name(StoreDrop r)
{
    constexpr const char *names[store_drop_reasons] = {"size", "age", "error"};
    return names[static_cast<std::size_t>(r)];
}

std::string store_folder(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::unique_ptr<Store> Store::open(const StoreConfig &c)
{
    // A store that cannot be had refuses the start as a file of the
    // configuration does: status 2.
    auto refuse = [&](const std::string &why) { throw ConfigError("store " + c.path + why); };
    std::unique_ptr<Store> s(new Store(c));
    if (const std::string folder = store_folder(c.path); ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        refuse(": cannot make " + folder + ": " + std::strerror(errno));
    // One gateway per store: a second one would send and delete the same
    // messages. The lock goes with the process, however it ends.
    s->lock_fd_ = ::open(c.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (s->lock_fd_ < 0)
        refuse(std::string(": ") + std::strerror(errno));
    if (::flock(s->lock_fd_, LOCK_EX | LOCK_NB) != 0)
        refuse(" is held by another kiv-gateway process");
    if (std::string why; s->open_db(why) != Opened::ok)
        refuse(": " + why);
    // The run's number, kept before anything is sent under it.
    s->run_ = static_cast<std::uint64_t>(s->number("SELECT COALESCE(MAX(value), 0) FROM meta WHERE key = 'run'")) + 1;
    const std::string keep = "INSERT OR REPLACE INTO meta VALUES('run', " + std::to_string(s->run_) + ")";
    if (!s->exec(keep.c_str()))
        refuse(std::string(": ") + sqlite3_errmsg(s->db_));
    s->checkpointer_ = std::thread([p = s.get()] { p->checkpoints(); });
    return s;
}

Store::Opened Store::open_db(std::string &error)
{
    const Opened o = open_file(error);
    if (o != Opened::corrupt)
        return o;
    // Not a database, or a corrupt one: kept aside for whoever wants to
    // look, and the gateway goes on with an empty store.
    const std::string aside = c_.path + ".corrupt-" + stamp();
    if (::rename(c_.path.c_str(), aside.c_str()) != 0) {
        error += std::string(", and it cannot be moved aside: ") + std::strerror(errno);
        return Opened::failed;
    }
    log(Level::warn, "store " + c_.path + ": " + error + "; moved aside to " + aside + ", starting a new one");
    for (const char *side : {"-wal", "-shm"})
        ::unlink((c_.path + side).c_str());
    // The lock went with the file's old name: the new file gets it.
    ::close(lock_fd_);
    lock_fd_ = ::open(c_.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        error = std::string("cannot make a new one: ") + std::strerror(errno);
        return Opened::failed;
    }
    return open_file(error) == Opened::ok ? Opened::ok : Opened::failed;
}

Store::Opened Store::open_file(std::string &error)
{
    int rc = sqlite3_open_v2(c_.path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db_, 0);
        // The write-ahead log: a commit is one append, and the checkpoint
        // runs on a thread of its own rather than in a commit on the loop.
        rc = sqlite3_exec(db_,
                          "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0;", nullptr,
                          nullptr, nullptr);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db_, schema, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        const std::int64_t n = number("SELECT COUNT(*) FROM messages");
        rc = n < 0 ? sqlite3_errcode(db_) : SQLITE_OK;
        messages_ = n < 0 ? 0 : static_cast<std::uint64_t>(n);
    }
    if (rc == SQLITE_OK && prepare())
        return Opened::ok;
    if (rc == SQLITE_OK)
        rc = sqlite3_errcode(db_);
    error = db_ ? sqlite3_errmsg(db_) : "out of memory";
    close_db();
    return corrupt(rc) ? Opened::corrupt : Opened::failed;
}

bool Store::prepare()
{
    return sqlite3_prepare_v2(db_, "INSERT INTO messages(ts, topic, payload) VALUES(?, ?, ?)", -1, &insert_,
                              nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db_, "DELETE FROM messages WHERE id = ?", -1, &erase_, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(db_, "SELECT id, topic, payload FROM messages WHERE id > ? ORDER BY id LIMIT ?", -1,
                              &select_, nullptr) == SQLITE_OK;
}

void Store::close_db()
{
    for (sqlite3_stmt *s : {insert_, erase_, select_})
        sqlite3_finalize(s);
    insert_ = erase_ = select_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
    in_transaction_ = false;
}

Store::~Store()
{
    {
        std::lock_guard lock(mu_);
        quit_ = true;
    }
    cv_.notify_all();
    if (checkpointer_.joinable())
        checkpointer_.join();
    if (db_ && in_transaction_)
        commit();
    close_db();
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
}

bool Store::exec(const char *sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t Store::number(const char *sql)
{
    sqlite3_stmt *s = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

bool Store::begin()
{
    if (in_transaction_)
        return true;
    if (!exec("BEGIN")) {
        failed("begin");
        return false;
    }
    in_transaction_ = true;
    return true;
}

void Store::failed(const char *what)
{
    log(Level::error, "store " + c_.path + ": " + what + ": " + sqlite3_errmsg(db_) +
                          "; values go to the broker without it until it works again");
    if (in_transaction_)
        exec("ROLLBACK");
    close_db();
    retry_at_ = SystemClock::now() + retry_after;
}

std::int64_t Store::add(const std::string &topic, const std::string &payload, SystemClock::time_point at)
{
    if (!db_ || !begin()) {
        count_drops(StoreDrop::error, 1);
        return 0;
    }
    sqlite3_reset(insert_);
    sqlite3_bind_int64(insert_, 1, epoch_ms(at));
    sqlite3_bind_text(insert_, 2, topic.data(), static_cast<int>(topic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 3, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) {
        failed("write");
        count_drops(StoreDrop::error, 1);
        return 0;
    }
    ++messages_;
    return sqlite3_last_insert_rowid(db_);
}

void Store::remove(std::int64_t id)
{
    if (!db_ || !begin())
        return;
    sqlite3_reset(erase_);
    sqlite3_bind_int64(erase_, 1, id);
    if (sqlite3_step(erase_) != SQLITE_DONE) {
        failed("delete");
        return;
    }
    messages_ -= std::min<std::uint64_t>(messages_, static_cast<std::uint64_t>(sqlite3_changes(db_)));
}

bool Store::commit()
{
    if (!db_)
        return false;
    if (!in_transaction_)
        return true;
    in_transaction_ = false;
    if (!exec("COMMIT")) {
        in_transaction_ = true;
        failed("commit");
        return false;
    }
    committed_.store(true, std::memory_order_relaxed);
    return true;
}

std::vector<Store::Row> Store::after(std::int64_t id, std::size_t n)
{
    std::vector<Row> rows;
    if (!db_ || n == 0)
        return rows;
    sqlite3_reset(select_);
    sqlite3_bind_int64(select_, 1, id);
    sqlite3_bind_int64(select_, 2, static_cast<std::int64_t>(n));
    int rc;
    while ((rc = sqlite3_step(select_)) == SQLITE_ROW) {
        Row r;
        r.id = sqlite3_column_int64(select_, 0);
        r.topic.assign(reinterpret_cast<const char *>(sqlite3_column_text(select_, 1)),
                       static_cast<std::size_t>(sqlite3_column_bytes(select_, 1)));
        const void *p = sqlite3_column_blob(select_, 2);
        r.payload.assign(static_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(select_, 2)));
        rows.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE)
        failed("read");
    sqlite3_reset(select_);
    return rows;
}

void Store::count_drops(StoreDrop why, std::uint64_t n)
{
    figures_.dropped[static_cast<std::size_t>(why)] += n;
}

// The oldest n rows.
void Store::drop_oldest(StoreDrop why, std::uint64_t n)
{
    if (n == 0 || !begin())
        return;
    const std::string sql = "DELETE FROM messages WHERE id IN (SELECT id FROM messages ORDER BY id LIMIT " +
                            std::to_string(n) + ")";
    if (!exec(sql.c_str())) {
        failed("drop");
        return;
    }
    const auto gone = static_cast<std::uint64_t>(sqlite3_changes(db_));
    messages_ -= std::min(messages_, gone);
    count_drops(why, gone);
    if (!dropping_)
        log(Level::warn, "store " + c_.path + ": dropping the oldest messages (" + store_drop_name(why) +
                             (why == StoreDrop::age ? ": past max_age)" : ": past max_mb)"));
    dropping_ = true;
}

void Store::maintain(SystemClock::time_point now)
{
    if (!db_) {
        if (now < retry_at_)
            return;
        std::string error;
        if (open_db(error) != Opened::ok) {
            log(Level::error, "store " + c_.path + " still fails: " + error);
            retry_at_ = now + retry_after;
            return;
        }
        log(Level::info, "store " + c_.path + " works again");
    }
    bool dropped = false;
    const std::int64_t too_old = epoch_ms(now - c_.max_age);
    std::int64_t oldest = number("SELECT ts FROM messages ORDER BY id LIMIT 1");
    if (oldest >= 0 && oldest < too_old) {
        const std::string sql = "SELECT COUNT(*) FROM messages WHERE ts < " + std::to_string(too_old);
        drop_oldest(StoreDrop::age, static_cast<std::uint64_t>(std::max<std::int64_t>(0, number(sql.c_str()))));
        dropped = true;
    }
    std::uint64_t used = db_ ? used_bytes() : 0;
    // A few rounds: the pages that deleted rows free show only after it.
    for (int round = 0; round < 8 && db_ && messages_ > 0 && used > c_.max_bytes; ++round) {
        const std::uint64_t per = std::max<std::uint64_t>(1, used / messages_);
        drop_oldest(StoreDrop::size, (used - c_.max_bytes) / per + messages_ / 100 + 1);
        commit();
        dropped = true;
        used = db_ ? used_bytes() : 0;
    }
    if (!dropped && dropping_) {
        log(Level::info, "store " + c_.path + " has room again");
        dropping_ = false;
    }
    if (!db_)
        return;
    if (dropped)
        oldest = number("SELECT ts FROM messages ORDER BY id LIMIT 1");
    figures_.messages = messages_;
    figures_.bytes = used;
    figures_.oldest_age_s = oldest < 0 ? 0 : std::max(0.0, static_cast<double>(epoch_ms(now) - oldest) / 1000.0);
}

std::uint64_t Store::used_bytes()
{
    const std::int64_t pages = number("PRAGMA page_count") - number("PRAGMA freelist_count");
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, pages * number("PRAGMA page_size")));
}

// What was committed reaches the disk: the checkpoint syncs the log, copies
// it into the database and syncs that. On a connection of its own.
void Store::checkpoints()
{
    sqlite3 *db = nullptr;
    std::unique_lock lock(mu_);
    while (!quit_) {
        cv_.wait_for(lock, sync_every, [&] { return quit_; });
        if (!committed_.exchange(false, std::memory_order_relaxed))
            continue;
        lock.unlock();
        if (!db && sqlite3_open_v2(c_.path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
                       SQLITE_OK) {
            sqlite3_close(db);
            db = nullptr;
        }
        if (db)
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
    }
    sqlite3_close(db);
}

} // namespace gateway
