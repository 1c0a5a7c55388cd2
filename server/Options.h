#ifndef QV_SERVER_OPTIONS_H
#define QV_SERVER_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace Quorvel {

struct QVServerOptions {
    std::string db = "sqlite:stats.db";
    std::string listenAddress = "0.0.0.0";
    uint16_t listenPort = 80;
    std::string dashboardAddress = "127.0.0.1";
    uint16_t dashboardPort = 8080;
    std::string codePage = "GBK";
    std::string key;  // the installers' built-in key unless given
    size_t maxConnections = 4096;
    size_t queue = 8192;
    size_t batch = 512;
    // Where reports wait while the database cannot take them: empty for the
    // default (a spool for PostgreSQL, none for SQLite), "off" for none.
    std::string spool;
    uint64_t spoolMaxBytes = 1ull << 30;
    int dbTimeoutMs = 2000;
    bool accessLog = false;
    int keepDays = 0;  // 0: raw reports are kept for ever
    std::vector<std::string> trustedProxies;  // their X-Forwarded-For is heeded
    bool hashSources = false;
    double sourceRate = 60, sourceBurst = 120;  // a minute; rate 0: no per-source limits
    int64_t sourceDayCap = 10000;
    size_t breakdownCap = 1000;  // recorded in the database for release and purge
};

// The spool a server uses: the path, or empty for none.
std::string SpoolPath(const QVServerOptions& options);

// "ADDR:PORT" (also "[v6]:PORT"); false for anything else.
bool ParseEndpoint(const std::string& text, std::string* address, uint16_t* port);

// The arguments after "serve"; false, with a one-line message.
bool ParseServeOptions(int argc, char** argv, QVServerOptions* options, std::string* error);

// The arguments of the commands beside "serve": prune, backup, release and
// purge. command names the one they are for.
struct QVToolOptions {
    std::string db, before, to, from, game, source;
    int64_t beforeTime = 0, fromTime = 0, toTime = 0;  // the dates as times, when given
    size_t batch = 5000;
    bool dryRun = false;
};
bool ParseToolOptions(const std::string& command, int argc, char** argv, QVToolOptions* options, std::string* error);

// Well-formed UTF-8 of one line (no control characters).
bool IsUtf8Text(const std::string& text);

extern const char kHelp[];

}  // namespace Quorvel

#endif
