#include "server/Options.h"

#include <stdlib.h>

#include <algorithm>
#include <functional>

#include "server/Days.h"
#include "server/Sources.h"

namespace Quorvel {

const char kHelp[] =
    "qvstats: receives, verifies and counts the installers' usage reports.\n"
    "\n"
    "usage: qvstats serve [OPTIONS]\n"
    "       qvstats prune --db DB --before YYYY-MM-DD [--batch N]\n"
    "       qvstats backup --db sqlite:PATH --to FILE\n"
    "       qvstats release --db DB --source ADDR [--game ID]\n"
    "       qvstats purge --db DB [--game ID] [--source ADDR] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--dry-run]\n"
    "       qvstats games --db DB list | set-name ID NAME\n"
    "       qvstats --help (or COMMAND --help)\n"
    "\n"
    "serve: take reports and show the dashboard until SIGTERM or SIGINT.\n"
    "  --db sqlite:PATH | postgresql://USER@HOST:PORT/DB\n"
    "        where reports are stored (default sqlite:stats.db). SQLite for one\n"
    "        machine; with PostgreSQL any number of receivers may share a database.\n"
    "        The schema is created on first start; a new SQLite file is readable\n"
    "        by its owner only.\n"
    "  --listen ADDR:PORT\n"
    "        the public listener, where installers post (default 0.0.0.0:80)\n"
    "  --dashboard ADDR:PORT\n"
    "        the dashboard: /, /export.csv, /healthz and /metrics (default\n"
    "        127.0.0.1:8080; never on the public listener)\n"
    "  --codepage NAME\n"
    "        the players' ANSI code page, which report texts are in (default GBK)\n"
    "  --key KEY\n"
    "        the signing key (default: the one built into the installer)\n"
    "  --max-connections N\n"
    "        open report connections at most; above it, the one that has waited\n"
    "        longest for its request is closed (default 4096)\n"
    "  --queue N\n"
    "        reports waiting for the database; above this, 503 (default 8192)\n"
    "  --spool PATH | off\n"
    "        where reports wait, durably, while the database cannot take them; they\n"
    "        are acknowledged once there and stored as soon as it answers again\n"
    "        (default with PostgreSQL: qvstats-spool.db in the working folder; with\n"
    "        SQLite: none). Each receiver needs a spool of its own.\n"
    "  --spool-max-bytes N\n"
    "        above this the spool takes no more: 503 (default 1073741824, 1 GiB)\n"
    "  --db-timeout MS\n"
    "        how long a commit, or a connection, may wait for PostgreSQL before\n"
    "        the reports go to the spool (default 2000)\n"
    "  --keep-days N\n"
    "        each night, delete raw reports received more than N days ago, held\n"
    "        ones too; the counts on the dashboard stay (default: keep them all)\n"
    "  --access-log\n"
    "        one log line per request, on both listeners\n"
    "  --trust-proxy ADDR[,ADDR...]\n"
    "        proxies whose X-Forwarded-For names the source of a report (again for\n"
    "        more); without, the source is the TCP peer\n"
    "  --hash-sources\n"
    "        store a keyed hash of each source address instead of the address\n"
    "  --source-rate N, --source-burst N\n"
    "        reports a minute one source may send, after a burst (default 60 and\n"
    "        120); beyond, they are stored but held for review, not counted until\n"
    "        released. --source-rate 0: no per-source limits\n"
    "  --source-day-cap N\n"
    "        reports one source may send a day; beyond, 429 (default 10000)\n"
    "  --breakdown-cap N\n"
    "        distinct versions, systems and Flash texts counted per game; the\n"
    "        reports of further ones count as other values (default 1000)\n"
    "\n"
    "prune: delete the raw reports received before a day (server's time zone),\n"
    "  N at a time (default 5000), while the server runs; every count on the\n"
    "  dashboard stays as it is, the export no longer holds them.\n"
    "backup: a consistent copy of an SQLite database while the server runs\n"
    "  (for PostgreSQL use pg_dump).\n"
    "release: put a source's held reports into the counts.\n"
    "games: list the games, or give one a name (UTF-8) that the dashboard shows\n"
    "  beside its id; an empty NAME takes it away. list writes an id and its\n"
    "  name a line, with tabs, line breaks and other control characters, %, \\\n"
    "  and \" in them as %XX.\n"
    "purge: delete the matching reports (held or counted) and take them out of\n"
    "  every count, in one transaction; --dry-run says what it would remove.\n"
    "  ADDR is an address even with --hash-sources (it is hashed as the server\n"
    "  does), or a hash as the dashboard shows it.\n"
    "These commands act on a database that serve made; none makes one.\n"
    "\n"
    "Answers on the public listener: 200 stored (also a replay of a stored report,\n"
    "and one held for review), 400 malformed, 403 bad signature, 404 another path,\n"
    "405 another method, 413 body over 4 KiB, 429 the source's day is used up,\n"
    "431 headers over 8 KiB, 503 not stored (with Retry-After).\n"
    "A whole request must arrive within 10 s. A 200 is sent only once the report\n"
    "is durable: committed to the database, or in the spool. The log (standard\n"
    "error) has one line per event, each with its time and level. SIGTERM or\n"
    "SIGINT: stop accepting, finish what is under way, commit, exit 0.\n";

bool IsUtf8Text(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size() || (length == 1 && (c < 0x20 || c == 0x7f))) return false;
        uint32_t code = length == 1 ? c : c & (0x7f >> length);
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2) return false;
            code = (code << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and what lies beyond Unicode are no text;
        // C1 controls and the line and paragraph separators end a line, and
        // the bidirectional overrides and isolates would turn the text
        // around it (a name shown as "Name (id)").
        static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
        if ((code >= 0x80 && code <= 0x9f) || code == 0x2028 || code == 0x2029 || (code >= 0x202a && code <= 0x202e) ||
            (code >= 0x2066 && code <= 0x2069)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string SpoolPath(const QVServerOptions& o) {
    if (o.spool == "off") return std::string();
    if (!o.spool.empty()) return o.spool;
    return o.db.compare(0, 7, "sqlite:") == 0 ? std::string() : std::string("qvstats-spool.db");
}

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

namespace {

// A positive whole number of at most digits digits.
bool Positive(const std::string& name, const std::string& value, size_t digits, uint64_t* out, std::string* error) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > digits ||
        strtoull(value.c_str(), NULL, 10) < 1) {
        *error = name + " wants a positive number, not " + value;
        return false;
    }
    *out = strtoull(value.c_str(), NULL, 10);
    return true;
}

// Walks NAME VALUE pairs (and the flags that take no value); each goes to
// take, which returns false with a message for what it does not know.
bool Walk(int argc, char** argv, const std::function<bool(const std::string&)>& isFlag,
          const std::function<bool(const std::string&, const std::string&)>& take, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        const std::string name = argv[i];
        if (isFlag(name)) {
            if (!take(name, std::string())) return false;
            continue;
        }
        if (name.compare(0, 2, "--") != 0) {
            *error = "unknown argument: " + name;
            return false;
        }
        if (i + 1 >= argc) {
            *error = name + " needs a value";
            return false;
        }
        if (!take(name, argv[++i])) return false;
    }
    return true;
}

}  // namespace

bool ParseServeOptions(int argc, char** argv, QVServerOptions* o, std::string* error) {
    return Walk(argc, argv, [](const std::string& name) { return name == "--access-log" || name == "--hash-sources"; },
                [&](const std::string& name, const std::string& value) {
        uint64_t n = 0;
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
            if (!Positive(name, value, 9, &n, error)) return false;
            o->maxConnections = static_cast<size_t>(n);
        } else if (name == "--queue") {
            if (!Positive(name, value, 9, &n, error)) return false;
            o->queue = static_cast<size_t>(n);
        } else if (name == "--spool") {
            if (value.empty()) {
                *error = "--spool wants a path, or off";
                return false;
            }
            o->spool = value;
        } else if (name == "--spool-max-bytes") {
            if (!Positive(name, value, 15, &n, error)) return false;
            o->spoolMaxBytes = n;
        } else if (name == "--db-timeout") {
            if (!Positive(name, value, 6, &n, error)) return false;
            o->dbTimeoutMs = static_cast<int>(n);
        } else if (name == "--keep-days") {
            if (!Positive(name, value, 5, &n, error)) return false;
            o->keepDays = static_cast<int>(n);
        } else if (name == "--access-log") {
            o->accessLog = true;
        } else if (name == "--hash-sources") {
            o->hashSources = true;
        } else if (name == "--trust-proxy") {
            size_t start = 0;
            for (;;) {
                const size_t comma = value.find(',', start);
                const std::string one = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (CanonicalAddress(one).empty()) {
                    *error = "--trust-proxy wants addresses, not " + one;
                    return false;
                }
                o->trustedProxies.push_back(CanonicalAddress(one));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (name == "--source-rate" || name == "--source-burst") {
            if (value != "0" || name == "--source-burst") {
                if (!Positive(name, value, 7, &n, error)) return false;
            }
            (name == "--source-rate" ? o->sourceRate : o->sourceBurst) = static_cast<double>(n);
        } else if (name == "--source-day-cap") {
            if (!Positive(name, value, 10, &n, error)) return false;
            o->sourceDayCap = static_cast<int64_t>(n);
        } else if (name == "--breakdown-cap") {
            if (!Positive(name, value, 7, &n, error)) return false;
            o->breakdownCap = static_cast<size_t>(n);
        } else {
            *error = "unknown option: " + name + " (qvstats --help lists them)";
            return false;
        }
        return true;
    }, error);
}

bool ParseToolOptions(const std::string& command, int argc, char** argv, QVToolOptions* o, std::string* error) {
    // The options each command takes; the first is required, as are those
    // marked with a "!".
    const std::vector<std::string> takes =
        command == "prune"     ? std::vector<std::string>{"!--db", "!--before", "--batch"}
        : command == "backup"  ? std::vector<std::string>{"!--db", "!--to"}
        : command == "release" ? std::vector<std::string>{"!--db", "!--source", "--game"}
                               : std::vector<std::string>{"!--db", "--game", "--source", "--from", "--to", "--dry-run"};
    const auto known = [&](const std::string& name) {
        return std::find(takes.begin(), takes.end(), name) != takes.end() ||
               std::find(takes.begin(), takes.end(), "!" + name) != takes.end();
    };
    std::vector<std::string> given;
    const bool walked = Walk(argc, argv, [](const std::string& name) { return name == "--dry-run"; },
                             [&](const std::string& name, const std::string& value) {
        uint64_t n = 0;
        if (!known(name)) {
            *error = "unknown option for " + command + ": " + name + " (qvstats --help lists them)";
            return false;
        }
        given.push_back(name);
        if (name == "--db") o->db = value;
        if (name == "--before") o->before = value;
        if (name == "--to") o->to = value;
        if (name == "--from") o->from = value;
        if (name == "--game") o->game = value;
        if (name == "--source") o->source = value;
        if (name == "--dry-run") o->dryRun = true;
        if (name == "--batch") {
            if (!Positive(name, value, 7, &n, error)) return false;
            o->batch = static_cast<size_t>(n);
        }
        return true;
    }, error);
    if (!walked) return false;
    for (const std::string& t : takes) {
        if (t[0] == '!' && std::find(given.begin(), given.end(), t.substr(1)) == given.end()) {
            *error = command + " needs " + t.substr(1);
            return false;
        }
    }
    if (command == "purge" && o->game.empty() && o->source.empty() && o->from.empty() && o->to.empty()) {
        *error = "purge needs --game, --source, --from or --to: it never takes every report";
        return false;
    }
    if (command == "prune" && !DayStart(o->before, &o->beforeTime)) {
        *error = "--before wants a date, YYYY-MM-DD, not " + o->before;
        return false;
    }
    if (command == "purge" && (!o->from.empty() || !o->to.empty())) {
        if (!DayRange(o->from, o->to, &o->fromTime, &o->toTime)) {
            *error = "--from and --to want dates, YYYY-MM-DD";
            return false;
        }
        if (o->fromTime >= o->toTime) {
            *error = "--from is after --to";
            return false;
        }
    }
    // A source as the server stores it: the address in one spelling
    // ("[::1]" and "::ffff:127.0.0.1" as "::1" and "127.0.0.1"), or a hash
    // as the dashboard shows it.
    if (!o->source.empty() && !IsHashedSource(o->source)) {
        const std::string address = CanonicalAddress(o->source);
        if (address.empty()) {
            *error = "--source wants an address (or a hash, h:…, as the dashboard shows it), not " + o->source;
            return false;
        }
        o->source = address;
    }
    return true;
}

}  // namespace Quorvel
