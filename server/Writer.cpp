#include "server/Writer.h"

#include <stdio.h>

#include <chrono>
#include <vector>

namespace Quorvel {

QVWriter::QVWriter(QVStore& store, size_t capacity, size_t batch)
    : m_store(store), m_capacity(capacity), m_batch(batch), m_stopping(false), m_storing(true) {}

void QVWriter::Start() { m_thread = std::thread(&QVWriter::Run, this); }

void QVWriter::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

bool QVWriter::Submit(QVReportRow row, Done done) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_capacity) return false;
        m_queue.emplace_back(std::move(row), std::move(done));
    }
    m_wake.notify_one();
    return true;
}

void QVWriter::CountReject(const std::string& day, const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rejects[std::make_pair(day, reason)] += 1;
    }
    m_wake.notify_one();
}

size_t QVWriter::Queued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void QVWriter::Run() {
    std::vector<QVReportRow> rows;
    std::vector<Done> dones;
    std::vector<QVRejectCount> rejects;
    std::vector<bool> inserted;
    for (;;) {
        rows.clear();
        dones.clear();
        rejects.clear();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty() || !m_rejects.empty(); });
            if (m_queue.empty() && m_rejects.empty()) return;  // stopping, and nothing left
            while (!m_queue.empty() && rows.size() < m_batch) {
                rows.push_back(std::move(m_queue.front().first));
                dones.push_back(std::move(m_queue.front().second));
                m_queue.pop_front();
            }
            for (const auto& r : m_rejects) rejects.push_back(QVRejectCount{r.first.first, r.first.second, r.second});
            m_rejects.clear();
        }
        std::string error;
        const bool committed = m_store.WriteBatch(rows, rejects, &inserted, &error);
        m_storing = committed;
        if (!committed) {
            fprintf(stderr, "qvstats: %zu reports not stored: %s\n", rows.size(), error.c_str());
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_stopping) {
                for (const QVRejectCount& r : rejects) m_rejects[std::make_pair(r.day, r.reason)] += r.count;
            }
        }
        for (Done& done : dones) done(committed);
        if (!committed) {
            // A store that fails (a full disk, a lost database) is not tried
            // in a tight loop.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
}

}  // namespace Quorvel
