#ifndef QV_SERVER_RETENTION_H
#define QV_SERVER_RETENTION_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/Store.h"

namespace Quorvel {

class QVMetrics;

// Deletes the raw reports received before a time, batch by batch (each its
// own short transaction), until none is left or stop says so; the counts
// stay. False, with a message, when the database fails; deleted says how
// many went all the same.
bool PruneReports(QVStore& store, int64_t before, size_t batch, const std::function<bool()>& stop, int64_t* deleted,
                  std::string* error);

// Soon after the start and then each night at 03:00, on a thread with a
// store connection of its own: with --keep-days, prunes what is older than
// the days kept; then deletes the texts no stored report can use any more.
class QVRetention {
public:
    QVRetention(std::unique_ptr<QVStore> store, int keepDays, QVMetrics& metrics);
    ~QVRetention() { Stop(); }
    QVRetention(const QVRetention&) = delete;
    QVRetention& operator=(const QVRetention&) = delete;

    void Start();
    // Stops after the batch under way; Stop also waits for that.
    void Signal();
    void Stop();

private:
    void Run();

    std::unique_ptr<QVStore> m_store;
    const int m_keepDays;
    QVMetrics& m_metrics;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping;
    std::thread m_thread;
};

}  // namespace Quorvel

#endif
