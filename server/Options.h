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
};

// "ADDR:PORT" (also "[v6]:PORT"); false for anything else.
bool ParseEndpoint(const std::string& text, std::string* address, uint16_t* port);

// The arguments after "serve"; false, with a one-line message.
bool ParseServeOptions(int argc, char** argv, QVServerOptions* options, std::string* error);

extern const char kHelp[];

}  // namespace Quorvel

#endif
