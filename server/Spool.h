#ifndef QV_SERVER_SPOOL_H
#define QV_SERVER_SPOOL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/Store.h"

namespace Quorvel {

class QVSqliteDb;

// Reports acknowledged while the database could not take them: an SQLite
// file beside the server, every append synced before it returns, drained
// into the database oldest first. One process at a time uses a spool (it
// holds a lock on it). Safe to use from several threads.
class QVSpool {
public:
    enum Result { kAppended, kFull, kFailed };

    QVSpool(const std::string& path, uint64_t maxBytes);
    ~QVSpool();
    QVSpool(const QVSpool&) = delete;
    QVSpool& operator=(const QVSpool&) = delete;

    // Creates the file (readable by its owner only) or opens what an earlier
    // run left; false, with a message, when it cannot be used.
    bool Open(std::string* error);
    // All of rows, durably, or none of them: kFull once the spool holds its
    // maximum.
    Result Append(const std::vector<QVReportRow>& rows, std::string* error);
    // The oldest reports, at most limit; last is the place to remove through.
    bool Oldest(size_t limit, std::vector<QVReportRow>* rows, int64_t* last, std::string* error);
    bool RemoveThrough(int64_t last, std::string* error);
    // The one report at place seq.
    bool Remove(int64_t seq, std::string* error);
    // Moves the report at place seq out of the way, into the table refused
    // of a file beside the spool (RefusedPath), kept there for the operator:
    // the database refuses it while it takes others, and it would hold up
    // every report behind it.
    bool SetAside(int64_t seq, std::string* error);
    std::string RefusedPath() const;

    const std::string& Path() const { return m_path; }
    // Read without waiting for a write under way.
    size_t Reports() const { return m_reports; }
    uint64_t Bytes() const { return m_bytes; }
    uint64_t MaxBytes() const { return m_maxBytes; }

private:
    bool Measure();
    void Forget();  // the rows the last statement deleted
    bool Delete(const char* sql, int64_t seq, std::string* error);

    const std::string m_path;
    const uint64_t m_maxBytes;
    std::mutex m_mutex;
    int m_lock;  // held for the spool's life: a second process is refused
    std::unique_ptr<QVSqliteDb> m_db;
    bool m_refused = false;  // RefusedPath attached
    std::atomic<size_t> m_reports;
    std::atomic<uint64_t> m_bytes;
};

// Creates a file that only its owner may read, unless it exists; the
// database files that SQLite adds beside it take its permissions.
bool CreatePrivateFile(const std::string& path, std::string* error);

}  // namespace Quorvel

#endif
