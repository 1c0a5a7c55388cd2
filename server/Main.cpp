// qvstats: the statistics server. One thread takes in the reports, one
// writes them, one serves the dashboard.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "report/Report.h"
#include "server/Convert.h"
#include "server/Dashboard.h"
#include "server/Listener.h"
#include "server/Options.h"
#include "server/Store.h"
#include "server/Writer.h"

using namespace Quorvel;

namespace {

int Fail(const std::string& message) {
    fprintf(stderr, "qvstats: %s\n", message.c_str());
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

int Serve(const QVServerOptions& options) {
    if (!QVIconv(options.codePage).valid()) return Fail("not a code page this machine can convert: " + options.codePage);
    std::string error;
    std::unique_ptr<QVStore> store = OpenStore(options.db, &error);
    if (!store || !store->Prepare(&error)) return Fail(error);
    std::unique_ptr<QVStore> dashboardStore = OpenStore(options.db, &error);
    if (!dashboardStore || !dashboardStore->Prepare(&error)) return Fail(error);
    const size_t descriptors = RaiseDescriptorLimit();

    boost::asio::io_context io(1);
    QVWriter writer(*store, options.queue, options.batch);
    QVIntakeOptions intake;
    intake.address = options.listenAddress;
    intake.port = options.listenPort;
    intake.key = options.key.empty() ? DefaultSigningKey() : options.key;
    intake.codePage = options.codePage;
    intake.maxConnections = options.maxConnections;
    // Above the descriptor limit, connections would be refused by accept
    // itself, uncounted; the databases and the dashboard keep a few.
    const size_t reserve = 64;
    if (descriptors > reserve && intake.maxConnections > descriptors - reserve) {
        intake.maxConnections = descriptors - reserve;
        fprintf(stderr, "qvstats: at most %zu connections: this process may open %zu files\n", intake.maxConnections,
                descriptors);
    }
    QVIntakeListener listener(io, writer, intake);
    if (!listener.Listen(&error)) return Fail(error);
    QVDashboard dashboard(std::move(dashboardStore), writer);
    if (!dashboard.Listen(options.dashboardAddress, options.dashboardPort, &error)) return Fail(error);

    writer.Start();
    dashboard.Start();
    boost::asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec) return;
        listener.Stop();
    });
    fprintf(stderr, "qvstats: taking reports on %s:%u, dashboard on http://%s:%u/, %s\n", options.listenAddress.c_str(),
            options.listenPort, options.dashboardAddress.c_str(), options.dashboardPort, options.db.c_str());
    io.run();  // returns once accepting has stopped and every request under way is answered
    writer.Stop();
    dashboard.Stop();
    fprintf(stderr, "qvstats: stopped\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0)) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (argc < 2 || strcmp(argv[1], "serve") != 0) {
        fprintf(stderr, "qvstats: %s (qvstats --help says how)\n",
                argc < 2 ? "nothing to do" : ("unknown command: " + std::string(argv[1])).c_str());
        return 2;
    }
    QVServerOptions options;
    std::string error;
    if (!ParseServeOptions(argc - 2, argv + 2, &options, &error)) {
        fprintf(stderr, "qvstats: %s\n", error.c_str());
        return 2;
    }
    return Serve(options);
}
