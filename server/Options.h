#ifndef QV_SERVER_OPTIONS_H
#define QV_SERVER_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

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
};

// The spool a server uses: the path, or empty for none.
std::string SpoolPath(const QVServerOptions& options);

// "ADDR:PORT" (also "[v6]:PORT"); false for anything else.
bool ParseEndpoint(const std::string& text, std::string* address, uint16_t* port);

// The arguments after "serve"; false, with a one-line message.
bool ParseServeOptions(int argc, char** argv, QVServerOptions* options, std::string* error);

// The arguments of "prune" and "backup".
struct QVToolOptions {
    std::string db, before, to;
    size_t batch = 5000;
};
bool ParsePruneOptions(int argc, char** argv, QVToolOptions* options, std::string* error);
bool ParseBackupOptions(int argc, char** argv, QVToolOptions* options, std::string* error);

extern const char kHelp[];

}  // namespace Quorvel

#endif
