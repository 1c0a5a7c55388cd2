#ifndef QV_SERVER_WRITER_H
#define QV_SERVER_WRITER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "server/Store.h"

namespace Quorvel {

// The one thread that writes to the store. Reports that arrive together go
// into one transaction (group commit): each is answered once its
// transaction has committed, so durability does not cost throughput.
class QVWriter {
public:
    // done(stored) runs on the writer's thread after the commit (or its
    // failure): it must hand the answer to the requester's own thread.
    typedef std::function<void(bool stored)> Done;

    QVWriter(QVStore& store, size_t capacity, size_t batch);
    ~QVWriter() { Stop(); }
    QVWriter(const QVWriter&) = delete;
    QVWriter& operator=(const QVWriter&) = delete;

    void Start();
    // Writes what is queued, then ends the thread.
    void Stop();
    // False when the queue is full: the report is not taken.
    bool Submit(QVReportRow row, Done done);
    // Never blocks; counted with the next batch.
    void CountReject(const std::string& day, const std::string& reason);
    size_t Queued();
    // False while batches fail: reports are then not being stored.
    bool Storing() const { return m_storing; }

private:
    void Run();

    QVStore& m_store;
    const size_t m_capacity, m_batch;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<QVReportRow, Done> > m_queue;
    std::map<std::pair<std::string, std::string>, int64_t> m_rejects;
    bool m_stopping;
    std::atomic<bool> m_storing;
    std::thread m_thread;
};

}  // namespace Quorvel

#endif
