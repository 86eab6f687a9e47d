#include "engine/cache/signature_cache.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "engine/analysis/analysed_picture.h"
#include "engine/analysis/decoders/jpeg_codec.h"
#include "engine/settings/settings.h"

namespace ferrovin {

namespace {

constexpr int kSide = 128;
constexpr unsigned kPositionMask = kSide * kSide - 1;
constexpr int kReadsPerTransaction = 256;

// Files are found again by path; the key columns and the reduction decide
// whether what is stored still holds. `failure` is the decoder's message for a
// file that did not decode; `head` and `coefs` are NULL where analysis stopped
// before them (below the size bound, or only identical files sought).
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS picture ("
    " id INTEGER PRIMARY KEY,"
    " path BLOB NOT NULL UNIQUE,"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    " modified_ns INTEGER NOT NULL, changed_ns INTEGER NOT NULL,"
    " stream_width INTEGER NOT NULL, stream_height INTEGER NOT NULL, scale INTEGER NOT NULL,"
    " seen_day INTEGER NOT NULL,"
    " height INTEGER NOT NULL, width INTEGER NOT NULL,"
    " failure TEXT, head BLOB, coefs BLOB);"
    "CREATE INDEX IF NOT EXISTS picture_seen ON picture(seen_day);";

constexpr const char* kLookup =
    "SELECT id, device, inode, size, modified_ns, changed_ns, stream_width, stream_height, scale,"
    " seen_day, height, width, failure, head, coefs FROM picture WHERE path = ?1";

// An update in place keeps the row where it is.
constexpr const char* kUpsert =
    "INSERT INTO picture (path, device, inode, size, modified_ns, changed_ns, stream_width,"
    " stream_height, scale, seen_day, height, width, failure, head, coefs)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)"
    " ON CONFLICT(path) DO UPDATE SET device = excluded.device, inode = excluded.inode,"
    " size = excluded.size, modified_ns = excluded.modified_ns, changed_ns = excluded.changed_ns,"
    " stream_width = excluded.stream_width, stream_height = excluded.stream_height,"
    " scale = excluded.scale, seen_day = excluded.seen_day, height = excluded.height,"
    " width = excluded.width, failure = excluded.failure, head = excluded.head,"
    " coefs = excluded.coefs";

constexpr const char* kTouch = "UPDATE picture SET seen_day = ?1 WHERE id = ?2 AND seen_day < ?1";

constexpr const char* kExpire =
    "DELETE FROM picture WHERE id IN (SELECT id FROM picture WHERE seen_day < ?1 LIMIT ?2)";

std::int64_t nanoseconds(const timespec& time)
{
    return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir && user->pw_dir[0] == '/')
        return user->pw_dir;
    return {};
}

std::int64_t systemToday()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count() / 86400;
}

bool isDamage(int rc)
{
    return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

void putDigits(unsigned value, std::string& out)
{
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else {
        out += static_cast<char>(0x80 | (value & 0x7F));
        out += static_cast<char>(value >> 7);
    }
}

bool encodeList(const TWaveletCoefs& list, std::string& out)
{
    std::size_t length = list.size();
    while (length > 0 && list[length - 1] == TWaveletPoint{})
        --length;
    out += static_cast<char>(length);
    unsigned previous = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const TWaveletPoint& p = list[i];
        if (int(p.X) >= kSide || int(p.Y) >= kSide)
            return false;
        const auto position = static_cast<unsigned>(p.X * kSide + p.Y);
        putDigits((position - previous) & kPositionMask, out);
        previous = position;
    }
    return true;
}

bool decodeList(const unsigned char*& data, const unsigned char* end, TWaveletCoefs& list)
{
    list.fill(TWaveletPoint{});
    if (data == end || *data > list.size())
        return false;
    const std::size_t length = *data++;
    unsigned previous = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (data == end)
            return false;
        unsigned delta = *data++;
        if (delta >= 0x80) {
            if (data == end || *data >= 0x80)
                return false;
            delta = (delta & 0x7F) | (unsigned{*data++} << 7);
        }
        previous = (previous + delta) & kPositionMask;
        list[i] = TWaveletPoint{static_cast<std::int32_t>(previous / kSide), static_cast<std::int32_t>(previous % kSide)};
    }
    return true;
}

} // namespace

bool EncodeWaveletCoefs(const TWaveletCoefs& pos, const TWaveletCoefs& neg, std::string& out)
{
    out.clear();
    return encodeList(pos, out) && encodeList(neg, out);
}

bool DecodeWaveletCoefs(const unsigned char* data, std::size_t size, TWaveletCoefs& pos, TWaveletCoefs& neg)
{
    const unsigned char* const end = data + size;
    return size > 0 && decodeList(data, end, pos) && decodeList(data, end, neg) && data == end;
}

std::optional<FileStamp> ReadFileStamp(const std::string& path)
{
    // The clock first: a file whose change time is not before it may still be
    // written within the same tick without its stamp moving.
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    FileStamp stamp;
    stamp.Device = static_cast<std::uint64_t>(info.st_dev);
    stamp.Inode = static_cast<std::uint64_t>(info.st_ino);
    stamp.Size = static_cast<std::int64_t>(info.st_size);
    stamp.ModifiedNs = nanoseconds(info.st_mtim);
    stamp.ChangedNs = nanoseconds(info.st_ctim);
    stamp.Settled = stamp.ChangedNs < nanoseconds(now);
    return stamp;
}

std::string DefaultCacheFile()
{
    // A relative XDG_CACHE_HOME is invalid and ignored, as the base-directory rules say.
    const char* cacheHome = std::getenv("XDG_CACHE_HOME");
    std::string folder;
    if (cacheHome && cacheHome[0] == '/') {
        folder = cacheHome;
    } else {
        folder = homeFolder();
        if (folder.empty())
            return {};
        folder += "/.cache";
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder + "/ferrovin/signatures.sqlite";
}

struct SignatureCache::Connection {
    sqlite3* Db = nullptr;
    sqlite3_stmt* Lookup = nullptr;
    sqlite3_stmt* Upsert = nullptr;
    sqlite3_stmt* Touch = nullptr;
    int Reads = 0;  // lookups in the read transaction that is open

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        sqlite3_finalize(Lookup);
        sqlite3_finalize(Upsert);
        sqlite3_finalize(Touch);
        sqlite3_close(Db);
    }
    std::string error() const { return sqlite3_errmsg(Db); }
};

struct SignatureCache::Row {
    std::string Path;
    FileStamp Stamp;
    std::uint32_t StreamWidth = 0;
    std::uint32_t StreamHeight = 0;
    int Scale = 1;
    std::int32_t Height = 0;
    std::int32_t Width = 0;
    bool Decoded = false;
    std::string Failure;
    bool HasHead = false;
    TPreBuffer Head{};
    bool HasCoefs = false;
    std::string Coefs;
};

SignatureCache::SignatureCache(CacheOptions options)
    : m_options(std::move(options)), m_today(m_options.Today != 0 ? m_options.Today : systemToday())
{
    if (!m_options.File.empty() && !open()) {
        closeAll();
        finish();
    }
}

SignatureCache::~SignatureCache()
{
    finish();
}

std::unique_ptr<SignatureCache::Connection> SignatureCache::connect(int& rc)
{
    auto connection = std::make_unique<Connection>();
    rc = sqlite3_open_v2(m_options.File.c_str(), &connection->Db,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (connection->Db != nullptr)
            fail(rc, connection->error());
        else
            fail(rc, sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(connection->Db, m_options.LockWaitMilliseconds);
    return connection;
}

bool SignatureCache::open()
{
    const std::filesystem::path file(m_options.File);
    std::error_code error;
    if (file.has_parent_path() && !std::filesystem::is_directory(file.parent_path(), error)) {
        // The folder may reveal what the user keeps: only the owner may look in.
        std::filesystem::create_directories(file.parent_path(), error);
        if (error) {
            fail(SQLITE_CANTOPEN, "cannot make its folder: " + error.message());
            return false;
        }
        std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, error);
    }
    // Root writes anywhere; a database marked read-only is meant to stay as it is.
    struct stat info {};
    if (::stat(m_options.File.c_str(), &info) == 0 && (info.st_mode & 0222) == 0) {
        fail(SQLITE_READONLY, "read-only");
        return false;
    }
    bool otherVersion = false;
    if (openSchema(otherVersion))
        return true;
    if (!otherVersion)
        return false;
    closeAll();
    const std::string aside = m_options.File + ".unusable";
    if (!moveAside()) {
        fail(SQLITE_CANTOPEN, "made by another version and cannot be moved aside: " + std::string(std::strerror(errno)));
        return false;
    }
    {
        std::lock_guard lock(m_warningMutex);
        m_warning = "Signature cache " + m_options.File + " was made by another version; moved it aside to "
            + aside + " and started a new one";
    }
    return openSchema(otherVersion);
}

bool SignatureCache::openSchema(bool& otherVersion)
{
    int rc = SQLITE_OK;
    m_writer = connect(rc);
    if (!m_writer)
        return false;
    sqlite3* db = m_writer->Db;
    if (sqlite3_db_readonly(db, "main") == 1) {
        fail(SQLITE_READONLY, "read-only");
        return false;
    }
    const auto queryInt = [db](const char* sql, std::int64_t& value) {
        sqlite3_stmt* statement = nullptr;
        int result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        if (result == SQLITE_OK) {
            result = sqlite3_step(statement);
            if (result == SQLITE_ROW) {
                value = sqlite3_column_int64(statement, 0);
                result = SQLITE_OK;
            }
        }
        sqlite3_finalize(statement);
        return result;
    };
    std::int64_t version = 0;
    std::int64_t objects = 0;
    // The first read checks the file's header and size: garbage and truncation
    // show here. Both numbers come from one snapshot: another search creating
    // the schema in between must not look like a database of another version.
    if ((rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr)) != SQLITE_OK
        || (rc = queryInt("PRAGMA user_version", version)) != SQLITE_OK
        || (rc = queryInt("SELECT count(*) FROM sqlite_schema", objects)) != SQLITE_OK
        || (rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) {
        const std::string detail = m_writer->error();
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        fail(rc, detail);
        return false;
    }
    if (version != kCacheVersion && objects > 0) {
        otherVersion = true;
        return false;
    }
    const std::string create = std::string("BEGIN IMMEDIATE;") + kSchema + "PRAGMA user_version = "
        + std::to_string(kCacheVersion) + ";COMMIT;";
    // Readers and the writer of another search must not wait for each other;
    // killing the program at any moment must leave only whole transactions.
    if ((rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr))
            != SQLITE_OK
        || (version != kCacheVersion && (rc = sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr)) != SQLITE_OK)
        || (rc = sqlite3_prepare_v3(db, kUpsert, -1, SQLITE_PREPARE_PERSISTENT, &m_writer->Upsert, nullptr)) != SQLITE_OK
        || (rc = sqlite3_prepare_v3(db, kTouch, -1, SQLITE_PREPARE_PERSISTENT, &m_writer->Touch, nullptr)) != SQLITE_OK) {
        const std::string detail = m_writer->error();
        // A schema other than ours under our number is as good as damaged.
        fail(rc == SQLITE_ERROR ? SQLITE_CORRUPT : rc, detail);
        return false;
    }
    m_active = true;
    return true;
}

std::unique_ptr<SignatureCache::Connection> SignatureCache::acquireReader()
{
    {
        std::lock_guard lock(m_pendingMutex);
        if (!m_idleReaders.empty()) {
            std::unique_ptr<Connection> reader = std::move(m_idleReaders.back());
            m_idleReaders.pop_back();
            return reader;
        }
    }
    int rc = SQLITE_OK;
    std::unique_ptr<Connection> reader = connect(rc);
    if (!reader)
        return nullptr;
    rc = sqlite3_prepare_v3(reader->Db, kLookup, -1, SQLITE_PREPARE_PERSISTENT, &reader->Lookup, nullptr);
    if (rc != SQLITE_OK) {
        fail(rc == SQLITE_ERROR ? SQLITE_CORRUPT : rc, reader->error());
        return nullptr;
    }
    return reader;
}

void SignatureCache::releaseReader(std::unique_ptr<Connection> reader)
{
    std::lock_guard lock(m_pendingMutex);
    m_idleReaders.push_back(std::move(reader));
}

bool SignatureCache::lookup(const std::string& path, const FileStamp& stamp, const Settings& settings,
                            AnalysedPicture& out)
{
    if (!active())
        return false;
    std::unique_ptr<Connection> reader = acquireReader();
    if (!reader)
        return false;
    // Lookups share read transactions: each of its own would lock and unlock
    // the log's index, two system calls, which cost more than the lookup. A
    // transaction is kept short all the same, or the log could not be folded
    // back while a search runs.
    int rc = reader->Reads == 0 ? sqlite3_exec(reader->Db, "BEGIN", nullptr, nullptr, nullptr) : SQLITE_OK;
    sqlite3_stmt* const q = reader->Lookup;
    sqlite3_bind_blob(q, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(q);
    bool usable = false;
    std::int64_t id = 0;
    std::int64_t seenDay = m_today;
    if (rc == SQLITE_ROW) {
        const auto column = [q](int i) { return sqlite3_column_int64(q, i); };
        const auto streamWidth = static_cast<std::uint32_t>(column(6));
        const auto streamHeight = static_cast<std::uint32_t>(column(7));
        usable = static_cast<std::uint64_t>(column(1)) == stamp.Device
            && static_cast<std::uint64_t>(column(2)) == stamp.Inode && column(3) == stamp.Size
            && column(4) == stamp.ModifiedNs && column(5) == stamp.ChangedNs
            && column(8) == chooseScaleDenominator(streamWidth, streamHeight, settings.MinPicWidth, settings.MinPicHeight);
        if (usable) {
            id = column(0);
            seenDay = column(9);
            out = AnalysedPicture{};
            out.StreamWidth = streamWidth;
            out.StreamHeight = streamHeight;
            if (sqlite3_column_type(q, 12) != SQLITE_NULL) {
                out.Failure = reinterpret_cast<const char*>(sqlite3_column_text(q, 12));
            } else {
                out.Decoded = true;
                out.Height = static_cast<std::int32_t>(column(10));
                out.Width = static_cast<std::int32_t>(column(11));
                // Past the size bound analysis went on to the head and, unless
                // only identity counts, the signature: both must be there.
                if (PassesSizeTest(out.Height, out.Width, settings)) {
                    usable = sqlite3_column_bytes(q, 13) == kPreBufferSize;
                    if (usable) {
                        std::memcpy(out.PreBuffer.data(), sqlite3_column_blob(q, 13), kPreBufferSize);
                        out.FileSize = stamp.Size;
                    }
                    if (usable && !settings.SearchOnlyIdentical)
                        usable = sqlite3_column_type(q, 14) == SQLITE_BLOB
                            && DecodeWaveletCoefs(static_cast<const unsigned char*>(sqlite3_column_blob(q, 14)),
                                                  static_cast<std::size_t>(sqlite3_column_bytes(q, 14)), out.Pos, out.Neg);
                }
            }
        }
    } else if (rc != SQLITE_DONE) {
        fail(rc, reader->error());
    }
    sqlite3_reset(q);
    if (++reader->Reads == kReadsPerTransaction) {
        reader->Reads = 0;
        sqlite3_exec(reader->Db, "COMMIT", nullptr, nullptr, nullptr);
    }
    releaseReader(std::move(reader));
    if (usable && seenDay < m_today) {
        bool full = false;
        {
            std::lock_guard lock(m_pendingMutex);
            m_touched.push_back(id);
            full = m_pending.size() + m_touched.size() >= static_cast<std::size_t>(m_options.BatchRows);
        }
        if (full)
            flush();
    }
    return usable;
}

void SignatureCache::store(const std::string& path, const FileStamp& stamp, const Settings& settings,
                           const AnalysedPicture& analysed)
{
    if (!active() || !stamp.Settled || analysed.Transient || analysed.Unreadable)
        return;
    Row row;
    row.Path = path;
    row.Stamp = stamp;
    row.StreamWidth = analysed.StreamWidth;
    row.StreamHeight = analysed.StreamHeight;
    row.Scale = chooseScaleDenominator(analysed.StreamWidth, analysed.StreamHeight, settings.MinPicWidth,
                                       settings.MinPicHeight);
    row.Decoded = analysed.Decoded;
    if (analysed.Decoded) {
        row.Height = analysed.Height;
        row.Width = analysed.Width;
        // What analysis went on to compute, as lookup expects it.
        if (PassesSizeTest(analysed.Height, analysed.Width, settings)) {
            row.HasHead = true;
            row.Head = analysed.PreBuffer;
            if (!settings.SearchOnlyIdentical)
                row.HasCoefs = EncodeWaveletCoefs(analysed.Pos, analysed.Neg, row.Coefs);
        }
    } else {
        row.Failure = analysed.Failure;
    }
    bool full = false;
    {
        std::lock_guard lock(m_pendingMutex);
        m_pending.push_back(std::move(row));
        full = m_pending.size() + m_touched.size() >= static_cast<std::size_t>(m_options.BatchRows);
    }
    if (full)
        flush();
}

void SignatureCache::flush()
{
    std::lock_guard write(m_writeMutex);
    std::vector<Row> rows;
    std::vector<std::int64_t> touched;
    {
        std::lock_guard lock(m_pendingMutex);
        rows.swap(m_pending);
        touched.swap(m_touched);
    }
    if (active() && m_writer && (!rows.empty() || !touched.empty()))
        writeRows(rows, touched);
}

void SignatureCache::writeRows(std::vector<Row>& rows, std::vector<std::int64_t>& touched)
{
    sqlite3* const db = m_writer->Db;
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* const upsert = m_writer->Upsert;
    for (std::size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
        const Row& row = rows[i];
        sqlite3_bind_blob(upsert, 1, row.Path.data(), static_cast<int>(row.Path.size()), SQLITE_STATIC);
        sqlite3_bind_int64(upsert, 2, static_cast<sqlite3_int64>(row.Stamp.Device));
        sqlite3_bind_int64(upsert, 3, static_cast<sqlite3_int64>(row.Stamp.Inode));
        sqlite3_bind_int64(upsert, 4, row.Stamp.Size);
        sqlite3_bind_int64(upsert, 5, row.Stamp.ModifiedNs);
        sqlite3_bind_int64(upsert, 6, row.Stamp.ChangedNs);
        sqlite3_bind_int64(upsert, 7, row.StreamWidth);
        sqlite3_bind_int64(upsert, 8, row.StreamHeight);
        sqlite3_bind_int(upsert, 9, row.Scale);
        sqlite3_bind_int64(upsert, 10, m_today);
        sqlite3_bind_int(upsert, 11, row.Height);
        sqlite3_bind_int(upsert, 12, row.Width);
        if (row.Decoded)
            sqlite3_bind_null(upsert, 13);
        else
            sqlite3_bind_text(upsert, 13, row.Failure.data(), static_cast<int>(row.Failure.size()), SQLITE_STATIC);
        if (row.HasHead)
            sqlite3_bind_blob(upsert, 14, row.Head.data(), kPreBufferSize, SQLITE_STATIC);
        else
            sqlite3_bind_null(upsert, 14);
        if (row.HasCoefs)
            sqlite3_bind_blob(upsert, 15, row.Coefs.data(), static_cast<int>(row.Coefs.size()), SQLITE_STATIC);
        else
            sqlite3_bind_null(upsert, 15);
        rc = sqlite3_step(upsert);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        sqlite3_reset(upsert);
    }
    sqlite3_stmt* const touch = m_writer->Touch;
    for (std::size_t i = 0; rc == SQLITE_OK && i < touched.size(); ++i) {
        sqlite3_bind_int64(touch, 1, m_today);
        sqlite3_bind_int64(touch, 2, touched[i]);
        rc = sqlite3_step(touch);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        sqlite3_reset(touch);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        const std::string detail = m_writer->error();
        if (sqlite3_get_autocommit(db) == 0)
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        fail(rc, detail);
    }
}

void SignatureCache::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    flush();
    if (active()) {
        sqlite3_stmt* expire = nullptr;
        int rc = sqlite3_prepare_v2(m_writer->Db, kExpire, -1, &expire, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(expire, 1, m_today - kCacheExpiryDays);
            sqlite3_bind_int(expire, 2, kCacheExpiryBatch);
            rc = sqlite3_step(expire);
            rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        }
        if (rc != SQLITE_OK)
            fail(rc, m_writer->error());
        sqlite3_finalize(expire);
    }
    m_active = false;
    closeAll();

    std::lock_guard lock(m_warningMutex);
    if (m_failure == SQLITE_OK)
        return;
    const std::string head = "Signature cache " + m_options.File + " ";
    const int primary = m_failure & 0xFF;
    if (isDamage(m_failure)) {
        const std::string aside = m_options.File + ".unusable";
        m_warning = head + "is damaged (" + m_failureDetail + "); "
            + (moveAside() ? "moved it aside to " + aside + " and searched without it"
                           : "could not move it aside (" + std::string(std::strerror(errno)) + "); searched without it");
    } else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        m_warning = head + "is locked by another program; searched without it";
    } else if (primary == SQLITE_READONLY) {
        m_warning = head + "is read-only; searched without it";
    } else {
        m_warning = head + "cannot be used (" + m_failureDetail + "); searched without it";
    }
}

void SignatureCache::fail(int rc, const std::string& detail)
{
    m_active = false;
    std::lock_guard lock(m_warningMutex);
    if (m_failure == SQLITE_OK) {
        m_failure = rc == SQLITE_OK ? SQLITE_ERROR : rc;
        m_failureDetail = detail;
    }
}

void SignatureCache::closeAll()
{
    std::lock_guard write(m_writeMutex);
    std::lock_guard lock(m_pendingMutex);
    m_idleReaders.clear();
    // The last connection to close folds the write-ahead log into the database.
    m_writer.reset();
}

bool SignatureCache::moveAside()
{
    // A log left beside a new database would be replayed into it: it goes too.
    const std::string& file = m_options.File;
    const std::string aside = file + ".unusable";
    ::unlink((aside + "-wal").c_str());
    if (::rename(file.c_str(), aside.c_str()) != 0)
        return false;
    if (::rename((file + "-wal").c_str(), (aside + "-wal").c_str()) != 0 && errno != ENOENT)
        ::unlink((file + "-wal").c_str());
    ::unlink((file + "-shm").c_str());
    return true;
}

std::string SignatureCache::warning() const
{
    std::lock_guard lock(m_warningMutex);
    return m_warning;
}

} // namespace ferrovin
