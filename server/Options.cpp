#include "server/Options.h"

#include <stdlib.h>

namespace Quorvel {

const char kHelp[] =
    "qvstats: receives, verifies and counts the installers' usage reports.\n"
    "\n"
    "usage: qvstats serve [OPTIONS]\n"
    "       qvstats --help\n"
    "\n"
    "  --db sqlite:PATH | postgresql://USER@HOST:PORT/DB\n"
    "        where reports are stored (default sqlite:stats.db). SQLite for one\n"
    "        machine; with PostgreSQL any number of receivers may share a database.\n"
    "        The schema is created on first start.\n"
    "  --listen ADDR:PORT\n"
    "        the public listener, where installers post (default 0.0.0.0:80)\n"
    "  --dashboard ADDR:PORT\n"
    "        the dashboard, /, /export.csv and /healthz (default 127.0.0.1:8080;\n"
    "        never on the public listener)\n"
    "  --codepage NAME\n"
    "        the players' ANSI code page, which report texts are in (default GBK)\n"
    "  --key KEY\n"
    "        the signing key (default: the one built into the installer)\n"
    "  --max-connections N\n"
    "        connections above this are closed at once (default 4096)\n"
    "  --queue N\n"
    "        reports waiting for the database; above this, 503 (default 8192)\n"
    "\n"
    "Answers on the public listener: 200 stored (also a replay of a stored report),\n"
    "400 malformed, 403 bad signature, 404 another path, 405 another method,\n"
    "413 body over 4 KiB, 431 headers over 8 KiB, 503 busy (with Retry-After).\n"
    "A whole request must arrive within 10 s. A 200 is sent only after the report\n"
    "has been committed. SIGTERM or SIGINT: stop accepting, finish what is under\n"
    "way, commit, exit 0.\n";

bool ParseEndpoint(const std::string& text, std::string* address, uint16_t* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon + 6 < text.size()) return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string digits = text.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const long value = strtol(digits.c_str(), NULL, 10);
    if (value < 1 || value > 65535 || host.empty()) return false;
    *address = host;
    *port = static_cast<uint16_t>(value);
    return true;
}

bool ParseServeOptions(int argc, char** argv, QVServerOptions* o, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            *error = name.compare(0, 2, "--") == 0 ? name + " needs a value" : "unknown argument: " + name;
            return false;
        }
        const std::string value = argv[++i];
        const auto count = [&](size_t* out) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 9 ||
                atol(value.c_str()) < 1) {
                *error = name + " wants a positive number, not " + value;
                return false;
            }
            *out = static_cast<size_t>(atol(value.c_str()));
            return true;
        };
        if (name == "--db") {
            o->db = value;
        } else if (name == "--listen") {
            if (!ParseEndpoint(value, &o->listenAddress, &o->listenPort)) {
                *error = "--listen wants ADDR:PORT, not " + value;
                return false;
            }
        } else if (name == "--dashboard") {
            if (!ParseEndpoint(value, &o->dashboardAddress, &o->dashboardPort)) {
                *error = "--dashboard wants ADDR:PORT, not " + value;
                return false;
            }
        } else if (name == "--codepage") {
            o->codePage = value;
        } else if (name == "--key") {
            o->key = value;
        } else if (name == "--max-connections") {
            if (!count(&o->maxConnections)) return false;
        } else if (name == "--queue") {
            if (!count(&o->queue)) return false;
        } else {
            *error = "unknown option: " + name + " (qvstats --help lists them)";
            return false;
        }
    }
    return true;
}

}  // namespace Quorvel
