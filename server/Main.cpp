// qvstats: the statistics server. One thread takes in the reports, one
// writes them (and one drains the spool), one serves the dashboard with a
// reader for its queries; retention has one of its own.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "report/Report.h"
#include "server/Convert.h"
#include "server/Counting.h"
#include "server/Dashboard.h"
#include "server/Days.h"
#include "server/Listener.h"
#include "server/Log.h"
#include "server/Metrics.h"
#include "server/Options.h"
#include "server/Retention.h"
#include "server/Sources.h"
#include "server/Spool.h"
#include "server/SqliteStore.h"
#include "server/Store.h"
#include "server/Writer.h"

using namespace Quorvel;

namespace {

int Fail(const std::string& message) {
    Log(kLogError, "%s", message.c_str());
    return 1;
}

// Every idle connection holds a descriptor: allow as many as the system
// lets this process have. Returns how many that is.
size_t RaiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
    }
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<size_t>(-1) : static_cast<size_t>(limit.rlim_cur);
}

// A store, prepared. With mayBeDown, one whose database does not answer yet
// is kept (down says so): it prepares itself once the database is back.
// knownDown: another store found it so a moment ago, not worth waiting for
// again.
std::unique_ptr<QVStore> Open(const std::string& db, int timeoutMs, std::string* error, bool mayBeDown = false,
                              bool* down = NULL, size_t breakdownCap = 0, bool knownDown = false) {
    QVStoreOptions options;
    options.timeoutMs = timeoutMs;
    options.breakdownCap = breakdownCap;
    std::unique_ptr<QVStore> store = OpenStore(db, error, options);
    if (down != NULL) *down = false;
    if (store && mayBeDown && knownDown) return store;
    if (store && !store->Prepare(error)) {
        if (mayBeDown && store->Unreachable()) {
            if (down != NULL) *down = true;
        } else {
            store.reset();
        }
    }
    return store;
}

// The database of a maintenance command: one that holds statistics, never
// made here.
std::unique_ptr<QVStore> OpenExisting(const std::string& db, std::string* error) {
    QVStoreOptions options;
    options.timeoutMs = 30000;
    options.create = false;
    std::unique_ptr<QVStore> store = OpenStore(db, error, options);
    if (store && !store->Prepare(error)) store.reset();
    return store;
}

int Serve(const QVServerOptions& options) {
    if (!QVIconv(options.codePage).valid()) return Fail("not a code page this machine can convert: " + options.codePage);
    std::string error;
    // With a spool, a database that does not answer at the start is no
    // reason not to start: reports wait in the spool until it does.
    std::unique_ptr<QVSpool> spool;
    const std::string spoolPath = SpoolPath(options);
    if (!spoolPath.empty()) {
        spool.reset(new QVSpool(spoolPath, options.spoolMaxBytes));
        if (!spool->Open(&error)) return Fail(error);
    }
    const bool mayBeDown = spool != NULL;
    bool down = false, ignored = false;
    std::string downError;
    std::unique_ptr<QVStore> store = Open(options.db, options.dbTimeoutMs, &error, mayBeDown, &down, options.breakdownCap);
    if (!store) return Fail(error);
    if (down) downError = error;
    std::unique_ptr<QVStore> dashboardStore = Open(options.db, options.dbTimeoutMs, &error, mayBeDown, &ignored, 0, down);
    if (!dashboardStore) return Fail(error);
    std::unique_ptr<QVStore> drainStore;
    if (spool) {
        drainStore = Open(options.db, options.dbTimeoutMs, &error, true, &ignored, options.breakdownCap, down);
        if (!drainStore) return Fail(error);
    }
    QVMetrics metrics;
    std::unique_ptr<QVRetention> retention;
    {
        // Its batches are small: a database that does not answer within a
        // few seconds is not waited for, so that stopping stays quick.
        std::unique_ptr<QVStore> retentionStore =
            Open(options.db, std::max(options.dbTimeoutMs, 3000), &error, mayBeDown, &ignored, 0, down);
        if (!retentionStore) return Fail(error);
        retention.reset(new QVRetention(std::move(retentionStore), options.keepDays, metrics));
    }
    const size_t descriptors = RaiseDescriptorLimit();

    boost::asio::io_context io(1);
    QVWriterOptions writing;
    writing.capacity = options.queue;
    writing.batch = options.batch;
    writing.hashSources = options.hashSources;
    QVWriter writer(*store, spool.get(), drainStore.get(), metrics, writing);
    writer.AnswerOn([&io](std::function<void()> answer) { boost::asio::post(io, std::move(answer)); });
    QVIntakeOptions intake;
    intake.address = options.listenAddress;
    intake.port = options.listenPort;
    intake.key = options.key.empty() ? DefaultSigningKey() : options.key;
    intake.codePage = options.codePage;
    intake.maxConnections = options.maxConnections;
    intake.accessLog = options.accessLog;
    intake.trustedProxies = options.trustedProxies;
    intake.limits.perMinute = options.sourceRate;
    intake.limits.burst = options.sourceBurst;
    intake.limits.dayCap = options.sourceDayCap;
    // Above the descriptor limit, connections would be refused by accept
    // itself, uncounted; the databases and the dashboard keep a few.
    const size_t reserve = 64;
    if (descriptors > reserve && intake.maxConnections > descriptors - reserve) {
        intake.maxConnections = descriptors - reserve;
        Log(kLogWarning, "at most %zu connections: this process may open %zu files", intake.maxConnections, descriptors);
    }
    QVIntakeListener listener(io, writer, metrics, intake);
    QVDashboardOptions board;
    board.address = options.dashboardAddress;
    board.port = options.dashboardPort;
    board.accessLog = options.accessLog;
    QVDashboard dashboard(std::move(dashboardStore), writer, metrics, &listener.Sessions(), board);
    if (!dashboard.Listen(&error)) return Fail(error);
    if (!listener.Listen(&error)) return Fail(error);

    if (down) writer.StartDown(downError);
    writer.Start();
    dashboard.Start();
    if (retention) retention->Start();
    boost::asio::signal_set signals(io, SIGTERM, SIGINT);
    boost::asio::steady_timer deadline(io), poll(io);
    // Stopping ends once no connection is left; the run then returns.
    std::function<void()> watch = [&] {
        if (listener.Sessions().Size() == 0) {
            deadline.cancel();
            return;
        }
        poll.expires_after(std::chrono::milliseconds(20));
        poll.async_wait([&](const boost::system::error_code& ec) {
            if (!ec) watch();
        });
    };
    signals.async_wait([&](const boost::system::error_code& ec, int number) {
        if (ec) return;
        Log(kLogInfo, "stopping (%s): answering what is under way", number == SIGTERM ? "SIGTERM" : "SIGINT");
        // Everything at once, so that the waits (each bounded by the
        // database's time-out) overlap rather than add up.
        listener.Stop();
        dashboard.Close();
        writer.BeginStop();
        if (retention) retention->Signal();
        // Clients that take their time over their answers are not waited
        // for: exiting within seconds is what a service manager expects.
        deadline.expires_after(std::chrono::milliseconds(3500));
        deadline.async_wait([&](const boost::system::error_code& waited) {
            if (!waited) listener.Cut();
        });
        watch();
    });
    Log(kLogInfo, "started: reports on %s:%u, dashboard on http://%s:%u/, database %s%s%s",
        options.listenAddress.c_str(), options.listenPort, options.dashboardAddress.c_str(), options.dashboardPort,
        options.db.c_str(), spool ? ", spool " : "", spool ? spool->Path().c_str() : "");
    if (spool && spool->Reports() > 0) Log(kLogInfo, "%zu reports in the spool from before: storing them", spool->Reports());
    io.run();  // returns once accepting has stopped and every request under way is answered
    writer.Stop();
    dashboard.Join();
    if (retention) retention->Stop();
    const size_t left = spool ? spool->Reports() : 0;
    if (left > 0) {
        Log(kLogInfo, "stopped; %zu reports stay in the spool %s and are stored at the next start", left,
            spool->Path().c_str());
    } else {
        Log(kLogInfo, "stopped");
    }
    return 0;
}

int Prune(const QVToolOptions& options) {
    std::string error;
    std::unique_ptr<QVStore> store = OpenExisting(options.db, &error);
    if (!store) return Fail(error);
    int64_t deleted = 0;
    if (!PruneReports(*store, options.beforeTime, options.batch, std::function<bool()>(), &deleted, &error)) {
        return Fail(std::to_string(deleted) + " raw reports deleted, then: " + error);
    }
    int64_t forgotten = 0;
    if (!store->ForgetUnusedTexts(std::function<bool()>(), &forgotten, &error)) return Fail(error);
    printf("%lld raw reports received before %s deleted, and %lld texts no report uses any more; the counts are as they"
           " were\n", static_cast<long long>(deleted), options.before.c_str(), static_cast<long long>(forgotten));
    return 0;
}

int Backup(const QVToolOptions& options) {
    if (options.db.compare(0, 7, "sqlite:") != 0 || options.db.size() == 7) {
        return Fail("backup copies an SQLite database (--db sqlite:PATH); for PostgreSQL use pg_dump");
    }
    std::string error;
    if (!BackupSqlite(options.db.substr(7), options.to, &error)) return Fail(error);
    printf("%s copied to %s\n", options.db.substr(7).c_str(), options.to.c_str());
    return 0;
}

int Release(const QVToolOptions& options) {
    std::string error;
    std::unique_ptr<QVStore> store = OpenExisting(options.db, &error);
    if (!store) return Fail(error);
    QVReleaseResult total;
    // The address as given and its hash: the server stored one of them.
    // --source is an address as stored (or a hash, which hashes to nothing stored).
    for (const std::string& source : {options.source, HashSource(store->SourceKey(), options.source)}) {
        QVReleaseResult result;
        if (!store->Release(source, options.game, &result, &error)) return Fail(error);
        total.released += result.released;
        total.replays += result.replays;
        total.atCap += result.atCap;
    }
    printf("%lld held reports of %s released into the counts\n", static_cast<long long>(total.released),
           options.source.c_str());
    if (total.replays > 0) printf("%lld replays of stored reports deleted\n", static_cast<long long>(total.replays));
    if (total.atCap > 0) {
        printf("%lld still held: their machines have %zu reports already (qvstats purge deletes them)\n",
               static_cast<long long>(total.atCap), kMachineTimes);
    }
    return 0;
}

int Purge(const QVToolOptions& options) {
    QVPurgeFilter filter;
    filter.game = options.game;
    if (!options.from.empty() || !options.to.empty()) {
        filter.from = options.fromTime;
        filter.to = options.toTime;
    }
    std::string error;
    std::unique_ptr<QVStore> store = OpenExisting(options.db, &error);
    if (!store) return Fail(error);
    QVPurgeResult total;
    std::vector<std::string> sources = {std::string()};
    if (!options.source.empty()) {
        sources = {options.source, HashSource(store->SourceKey(), options.source)};
    }
    for (const std::string& source : sources) {
        filter.source = source;
        QVPurgeResult result;
        if (!store->Purge(filter, options.dryRun, &result, &error)) return Fail(error);
        total.reports += result.reports;
        total.held += result.held;
        total.machines += result.machines;
    }
    printf("%s %lld reports (%lld of them held), %lld machines with them%s\n", options.dryRun ? "would delete" : "deleted",
           static_cast<long long>(total.reports), static_cast<long long>(total.held),
           static_cast<long long>(total.machines), options.dryRun ? "; nothing was changed (--dry-run)" : "; the counts are corrected");
    return 0;
}

// qvstats games --db DB list | set-name ID NAME
int Games(int argc, char** argv) {
    std::string db;
    std::vector<std::string> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "--db" && i + 1 < argc) {
            db = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    const bool list = rest.size() == 1 && rest[0] == "list";
    const bool name = rest.size() == 3 && rest[0] == "set-name";
    if (db.empty() || (!list && !name)) {
        return Fail("usage: qvstats games --db DB list | set-name ID NAME"), 2;
    }
    if (name && !IsUtf8Text(rest[2])) return Fail("a name is UTF-8 text of one line"), 2;
    std::string error;
    std::unique_ptr<QVStore> store = OpenExisting(db, &error);
    if (!store) return Fail(error);
    if (name) {
        if (!store->SetName(rest[1], rest[2], &error)) return Fail(error);
        if (rest[2].empty()) {
            printf("game %s has no name now\n", Escaped(rest[1]).c_str());
        } else {
            printf("game %s is named %s\n", Escaped(rest[1]).c_str(), rest[2].c_str());
        }
        return 0;
    }
    std::vector<std::string> games;
    std::map<std::string, std::string> names;
    if (!store->Games(&games) || !store->Names(&names)) return Fail("the database does not answer");
    // A game id is whatever a signed report said: escaped, so that each
    // game stays one line of two fields.
    for (const std::string& g : games) printf("%s\t%s\n", Escaped(g).c_str(), Escaped(names[g]).c_str());
    for (const auto& n : names) {
        if (std::find(games.begin(), games.end(), n.first) == games.end()) {
            printf("%s\t%s\n", Escaped(n.first).c_str(), Escaped(n.second).c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // Databases, spools and backups hold the publisher's data: none of them
    // is for other users of the machine.
    umask(077);
    const std::string command = argc >= 2 ? argv[1] : "";
    const std::string first = argc >= 3 ? argv[2] : "";
    if (command == "--help" || command == "-h" || command == "help" || first == "--help" || first == "-h") {
        fputs(kHelp, stdout);
        return 0;
    }
    std::string error;
    if (command == "serve") {
        QVServerOptions options;
        if (!ParseServeOptions(argc - 2, argv + 2, &options, &error)) return Fail(error), 2;
        return Serve(options);
    }
    if (command == "games") return Games(argc - 2, argv + 2);
    if (command == "prune" || command == "backup" || command == "release" || command == "purge") {
        QVToolOptions options;
        if (!ParseToolOptions(command, argc - 2, argv + 2, &options, &error)) return Fail(error), 2;
        if (command == "prune") return Prune(options);
        if (command == "backup") return Backup(options);
        return command == "release" ? Release(options) : Purge(options);
    }
    Fail(command.empty() ? "nothing to do (qvstats --help says how)"
                         : "unknown command: " + command + " (qvstats --help says how)");
    return 2;
}
