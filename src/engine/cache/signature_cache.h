#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/catalogue/catalogue.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ferrovin {

struct AnalysedPicture;
struct Settings;

// What tells an unchanged file: the stat of its path, links followed.
struct FileStamp {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    std::int64_t Size = 0;
    std::int64_t ModifiedNs = 0;  // last write, nanoseconds since the epoch
    std::int64_t ChangedNs = 0;   // last status change, which no program can set back
    // False when the file changed within the file-time clock's current tick: a
    // write later in that tick could leave the stamp as it is, so what is found
    // now must not be remembered.
    bool Settled = false;
};

// The stamp of a regular file; nullopt when stat fails or it is something else.
std::optional<FileStamp> ReadFileStamp(const std::string& path);

// $XDG_CACHE_HOME/ferrovin/signatures.sqlite (by default under ~/.cache);
// empty when there is no home folder.
std::string DefaultCacheFile();

struct CacheOptions {
    std::string File;                 // the database; empty = no cache. Made with its folder.
    int LockWaitMilliseconds = 5000;  // how long a lock held by another search is waited for
    int BatchRows = 256;              // rows written per transaction
    std::int64_t Today = 0;           // days since 1970-01-01 UTC; 0 = the system clock's
};

inline constexpr std::int64_t kCacheExpiryDays = 60;  // rows of files unseen for longer go
inline constexpr int kCacheExpiryBatch = 5000;        // at most this many per search
// Stored in the database; a database of another number is moved aside. Raise it
// whenever the schema or anything analysis produces changes.
inline constexpr int kCacheVersion = 1;

// What analysis found for each file, kept between searches in an SQLite
// database, one row per path. A row is used only while the file's stamp and the
// reduction the decode chose are unchanged. Any trouble with the database
// turns the cache off for the rest of the search with a one-line warning; it
// never throws and never changes a result. Lookups and stores may come from
// several threads at once.
class SignatureCache final {
public:
    explicit SignatureCache(CacheOptions options);
    ~SignatureCache();  // finish()
    SignatureCache(const SignatureCache&) = delete;
    SignatureCache& operator=(const SignatureCache&) = delete;

    bool active() const { return m_active.load(std::memory_order_relaxed); }

    // Fills `out` as analysing the file with `settings` would, from its row;
    // false (and `out` unspecified) when there is no usable row.
    bool lookup(const std::string& path, const FileStamp& stamp, const Settings& settings,
                AnalysedPicture& out);
    // Remembers what analysing the file with `settings` gave, unless the file
    // had not settled or the failure need not recur. Written in batches.
    void store(const std::string& path, const FileStamp& stamp, const Settings& settings,
               const AnalysedPicture& analysed);
    // Writes what is pending, removes rows of files unseen for too long and
    // closes the database; the cache is inactive afterwards.
    void finish();

    // One line for the user when the cache was or became unusable (complete
    // once finished); else empty.
    std::string warning() const;

private:
    struct Connection;
    struct Row;

    bool open();
    bool openSchema(bool& otherVersion);
    std::unique_ptr<Connection> connect(int& rc);
    std::unique_ptr<Connection> acquireReader();
    void releaseReader(std::unique_ptr<Connection> reader);
    void flush();
    void writeRows(std::vector<Row>& rows, std::vector<std::int64_t>& touched);
    void fail(int rc, const std::string& detail);
    void closeAll();
    bool moveAside();

    CacheOptions m_options;
    std::int64_t m_today = 0;
    std::atomic<bool> m_active{false};
    bool m_finished = false;

    std::unique_ptr<Connection> m_writer;
    std::mutex m_writeMutex;  // the writer connection

    std::mutex m_pendingMutex;  // the three below
    std::vector<Row> m_pending;
    std::vector<std::int64_t> m_touched;  // ids of rows seen today for the first time
    std::vector<std::unique_ptr<Connection>> m_idleReaders;

    mutable std::mutex m_warningMutex;  // the three below
    int m_failure = 0;  // the SQLite result code that turned the cache off first
    std::string m_failureDetail;
    std::string m_warning;
};

// The kept positions as bytes: per list its length up to the last kept slot,
// then each position (row * 128 + column) as its difference from the one
// before, modulo 2^14, in one or two base-128 digits. Extraction lists
// positions in ascending order, so most take one byte. False when a position
// lies outside the matrix.
bool EncodeWaveletCoefs(const TWaveletCoefs& pos, const TWaveletCoefs& neg, std::string& out);
// The inverse; false for bytes it did not write (the lists are then unspecified).
bool DecodeWaveletCoefs(const unsigned char* data, std::size_t size, TWaveletCoefs& pos, TWaveletCoefs& neg);

} // namespace ferrovin
