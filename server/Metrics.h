#ifndef QV_SERVER_METRICS_H
#define QV_SERVER_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>
#include <string>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
}  // namespace prometheus

namespace Quorvel {

// The values that are read, not counted, when metrics are scraped.
struct QVGaugeValues {
    double queueReports = 0, spoolReports = 0, spoolBytes = 0, intakeConnections = 0, dashboardConnections = 0;
    bool databaseUp = true;
};

// The server's metrics in the Prometheus text format. Counting is safe from
// any thread.
class QVMetrics {
public:
    QVMetrics();
    ~QVMetrics();
    QVMetrics(const QVMetrics&) = delete;
    QVMetrics& operator=(const QVMetrics&) = delete;

    // Reports committed to the database as new rows (held ones among
    // them), and those that were there already (a replay, or a report two
    // receivers took in).
    void Stored(int64_t reports, int64_t replayed, int64_t held = 0);
    void Spooled(int64_t reports);
    void SetAside(int64_t reports);
    // A refused request of the public listener, by the reason it is counted
    // under on the dashboard.
    void Refused(const std::string& reason);
    void DashboardRefused();
    void Batch(size_t reports, double commitSeconds);
    void Pruned(int64_t reports);

    std::string Text(const QVGaugeValues& values);

private:
    std::shared_ptr<prometheus::Registry> m_registry;
    prometheus::Counter *m_stored, *m_replayed, *m_held, *m_spooled, *m_setAside, *m_dashboardRefused, *m_pruned;
    prometheus::Gauge *m_queue, *m_spool, *m_spoolBytes, *m_intakeConnections, *m_dashboardConnections, *m_up;
    prometheus::Histogram *m_batch, *m_commit;
    std::map<std::string, prometheus::Counter*> m_refused;  // the known reasons, made at start
};

// Every reason a request of the public listener is refused for.
extern const char* const kRefusalReasons[];
extern const size_t kRefusalReasonCount;

}  // namespace Quorvel

#endif
