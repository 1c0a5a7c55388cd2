#include "server/Metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace Quorvel {

const char* const kRefusalReasons[] = {"malformed",   "bad_signature", "bad_text",         "bad_http",
                                       "body_too_large", "headers_too_large", "not_found", "wrong_method",
                                       "timeout",     "overloaded",    "not_stored",       "too_many_connections",
                                       "accept_failed", "rate_limited"};
const size_t kRefusalReasonCount = sizeof(kRefusalReasons) / sizeof(kRefusalReasons[0]);

namespace {

prometheus::Counter* Counter(prometheus::Registry& registry, const char* name, const char* help) {
    return &prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Gauge* Gauge(prometheus::Registry& registry, const char* name, const char* help) {
    return &prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

}  // namespace

QVMetrics::QVMetrics() : m_registry(std::make_shared<prometheus::Registry>()) {
    prometheus::Registry& r = *m_registry;
    m_stored = Counter(r, "qvstats_reports_stored_total", "Reports committed to the database as new rows.");
    m_replayed = Counter(r, "qvstats_reports_replayed_total",
                         "Reports acknowledged that the database held already (replays, or taken in twice).");
    m_held = Counter(r, "qvstats_reports_held_total",
                     "Reports stored but held for review: more from one source than its rate allows, or from one machine "
                     "than its cap (in stored_total too).");
    m_spooled = Counter(r, "qvstats_reports_spooled_total",
                        "Reports made durable in the local spool while the database could not take them.");
    m_setAside = Counter(r, "qvstats_reports_set_aside_total",
                         "Spooled reports the database refused alone while it took others, kept beside the spool.");
    m_dashboardRefused = Counter(r, "qvstats_dashboard_connections_refused_total",
                                 "Dashboard connections closed at once: too many open.");
    m_pruned = Counter(r, "qvstats_reports_pruned_total", "Raw reports deleted by retention.");
    m_queue = Gauge(r, "qvstats_queue_reports", "Reports waiting for the writer.");
    m_spool = Gauge(r, "qvstats_spool_reports", "Reports in the local spool, waiting for the database.");
    m_spoolBytes = Gauge(r, "qvstats_spool_bytes", "Bytes the spool's reports take.");
    auto& connections = prometheus::BuildGauge()
                            .Name("qvstats_connections_open")
                            .Help("Open client connections, by listener.")
                            .Register(r);
    m_intakeConnections = &connections.Add({{"listener", "intake"}});
    m_dashboardConnections = &connections.Add({{"listener", "dashboard"}});
    m_up = Gauge(r, "qvstats_database_up", "1 while the database takes reports, 0 while it does not.");
    m_batch = &prometheus::BuildHistogram()
                   .Name("qvstats_batch_reports")
                   .Help("Reports per committed batch.")
                   .Register(r)
                   .Add({}, prometheus::Histogram::BucketBoundaries{1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000});
    m_commit = &prometheus::BuildHistogram()
                    .Name("qvstats_commit_seconds")
                    .Help("Time to commit one batch to the database.")
                    .Register(r)
                    .Add({}, prometheus::Histogram::BucketBoundaries{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                                     0.1, 0.25, 0.5, 1, 2.5});
    auto& refused = prometheus::BuildCounter()
                        .Name("qvstats_requests_refused_total")
                        .Help("Requests of the public listener refused, by reason.")
                        .Register(r);
    for (size_t i = 0; i < kRefusalReasonCount; ++i) m_refused[kRefusalReasons[i]] = &refused.Add({{"reason", kRefusalReasons[i]}});
}

QVMetrics::~QVMetrics() {}

void QVMetrics::Stored(int64_t reports, int64_t replayed, int64_t held) {
    if (reports > 0) m_stored->Increment(static_cast<double>(reports));
    if (replayed > 0) m_replayed->Increment(static_cast<double>(replayed));
    if (held > 0) m_held->Increment(static_cast<double>(held));
}

void QVMetrics::Spooled(int64_t reports) { m_spooled->Increment(static_cast<double>(reports)); }
void QVMetrics::SetAside(int64_t reports) { m_setAside->Increment(static_cast<double>(reports)); }

void QVMetrics::Refused(const std::string& reason) {
    // Only the known reasons: a label's values stay a small fixed set.
    const auto it = m_refused.find(reason);
    if (it != m_refused.end()) it->second->Increment();
}

void QVMetrics::DashboardRefused() { m_dashboardRefused->Increment(); }

void QVMetrics::Batch(size_t reports, double commitSeconds) {
    m_batch->Observe(static_cast<double>(reports));
    m_commit->Observe(commitSeconds);
}

void QVMetrics::Pruned(int64_t reports) { m_pruned->Increment(static_cast<double>(reports)); }

std::string QVMetrics::Text(const QVGaugeValues& v) {
    m_queue->Set(v.queueReports);
    m_spool->Set(v.spoolReports);
    m_spoolBytes->Set(v.spoolBytes);
    m_intakeConnections->Set(v.intakeConnections);
    m_dashboardConnections->Set(v.dashboardConnections);
    m_up->Set(v.databaseUp ? 1 : 0);
    return prometheus::TextSerializer().Serialize(m_registry->Collect());
}

}  // namespace Quorvel
