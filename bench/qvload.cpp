// qvload: the installers' load on a statistics server. Every report comes on
// a new TCP connection as HTTP/1.0, as WinINet sends it, and every body is
// signed beforehand and sent once, so a server that stores each 200 ends
// with exactly one new row per 200.
//
//   qvload HOST PORT [--threads N] [--seconds S] [--bodies N] [--seed K] [--first-time T]
//   qvload --print N [--seed K] [--first-time T]
//
// --print writes the bodies alone, one a line, for qvfill: both then store
// reports of the same make.
// Prints one line: "qvload requests=... ok=... other=... errors=... seconds=...
// rate=... p50_ms=... p99_ms=... max_ms=... cpu=..." (rate counts 200s;
// latency runs from connect to the server's close).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "report/Report.h"

using Clock = std::chrono::steady_clock;

namespace {

// GBK bytes where the players' Windows would have them: a game named in
// Chinese, an edition and a Flash Player text in Chinese. The system texts
// hold "&" and "=" because real ones do (OEM strings, "R&D" builds).
const char* const kGames[] = {"3", "17", "\xd0\xc7\xb3\xbd"};
const char* const kVersions[] = {"1.0.0.0", "1.0.3.12", "2.0.1.5"};
const struct {
    const char *major, *minor, *text;
} kSystems[] = {
    {"6", "1", "Microsoft Windows 7 Ultimate Edition, 64-bit Service Pack 1 (build 7601) & x=y"},
    {"6", "1", "Microsoft Windows 7 \xc6\xec\xbd\xa2\xb0\xe6, 64-bit Service Pack 1 (build 7601) & oem=HP"},
    {"5", "1", "Microsoft Windows XP Professional Service Pack 3 (build 2600)"},
    {"6", "2", "Microsoft Windows 8 Pro, 64-bit (build 9200) R&D=1"},
    {"10", "0", "Microsoft Windows 10 Home China Edition, 64-bit (build 19045) &flash=&x="},
};
const char* const kFlash[] = {"32.0.0.371", "11.2.202.228", "\xce\xb4\xb0\xb2\xd7\xb0", "34.0.0.137"};

template <class T, size_t N>
const T& Pick(const T (&list)[N], std::mt19937_64& rng) {
    return list[rng() % N];
}

// The shape of the installer's identifier: adapter address, disk serial,
// installation date.
std::string MachineGuid(std::mt19937_64& rng) {
    static const char kHex[] = "0123456789abcdef";
    static const char kSerial[] = "ABCDEFGHJKLMNPRSTWXYZ0123456789";
    std::string guid;
    for (int i = 0; i < 12; ++i) guid += kHex[rng() % 16];
    for (int i = 0; i < 10; ++i) guid += kSerial[rng() % (sizeof(kSerial) - 1)];
    char date[16];
    snprintf(date, sizeof(date), "20%02d%02d%02d%02d%02d%02d", static_cast<int>(8 + rng() % 12),
             static_cast<int>(1 + rng() % 12), static_cast<int>(1 + rng() % 28), static_cast<int>(rng() % 24),
             static_cast<int>(rng() % 60), static_cast<int>(rng() % 60));
    return guid + date;
}

// About one body in ten is a known machine reporting again (a reinstall or
// an update), with a later time: a new report all the same.
std::vector<std::string> MakeBodies(size_t count, uint64_t seed, long long firstTime) {
    std::mt19937_64 rng(seed);
    std::vector<std::pair<std::string, std::string> > machines;  // game, guid
    std::vector<std::string> bodies;
    bodies.reserve(count);
    const std::string key = Quorvel::DefaultSigningKey();
    for (size_t i = 0; i < count; ++i) {
        const bool again = !machines.empty() && rng() % 10 == 0;
        if (!again) machines.emplace_back(Pick(kGames, rng), MachineGuid(rng));
        const auto& machine = again ? machines[rng() % machines.size()] : machines.back();
        const std::string time = std::to_string(firstTime + static_cast<long long>(i));
        const auto& system = Pick(kSystems, rng);
        bodies.push_back(
            "game_id=" + machine.first + "&version=" + Pick(kVersions, rng) + "&guid=" + machine.second +
            "&time=" + time +
            "&sign=" + Quorvel::SignatureOf(Quorvel::SigningBytes(machine.first, machine.second, time, key)) +
            "&osmajor=" + system.major + "&osminor=" + system.minor + "&system=" + system.text +
            "&flash=" + Pick(kFlash, rng));
    }
    return bodies;
}

struct Tally {
    std::vector<uint32_t> micros;  // of every request answered
    std::map<int, uint64_t> statuses;
    uint64_t errors = 0;
    std::string firstError;
};

void Fail(Tally* tally, const char* what) {
    if (tally->errors++ == 0) tally->firstError = std::string(what) + ": " + strerror(errno);
}

// One request: status code, or 0 on a transport error.
int Post(const sockaddr_in& to, const std::string& request, Tally* tally) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(tally, "socket"), 0;
    // The installer gives up after a while as well; nothing here waits forever.
    const struct timeval limit = {15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    int status = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) {
        Fail(tally, "connect");
    } else if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        Fail(tally, "send");
    } else {
        char head[16] = "", buffer[1024];
        size_t got = 0;
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            const size_t take = std::min(sizeof(head) - 1 - got, static_cast<size_t>(n));
            memcpy(head + got, buffer, take);
            got += take;
        }
        if (n < 0) {
            Fail(tally, "recv");
        } else if (got < 12 || strncmp(head, "HTTP/1.", 7) != 0 || (status = atoi(head + 9)) < 100) {
            errno = EPROTO;
            Fail(tally, "answer");
            status = 0;
        }
    }
    close(fd);
    return status;
}

void Work(const sockaddr_in& to, const std::vector<std::string>& requests, std::atomic<size_t>& next,
          Clock::time_point end, Tally* tally) {
    while (Clock::now() < end) {
        const size_t i = next.fetch_add(1);
        if (i >= requests.size()) return;
        const Clock::time_point start = Clock::now();
        const int status = Post(to, requests[i], tally);
        if (status == 0) continue;
        tally->statuses[status] += 1;
        tally->micros.push_back(static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    }
}

int Usage() {
    fputs("usage: qvload HOST PORT [--threads N] [--seconds S] [--bodies N] [--seed K] [--first-time T]\n"
          "       qvload --print N [--seed K] [--first-time T]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) return Usage();
    const bool print = strcmp(argv[1], "--print") == 0;
    long long threads = 32, seconds = 10, bodies = print ? atoll(argv[2]) : 0, seed = 1, firstTime = 1800000000;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        long long* value = name == "--threads" ? &threads : name == "--seconds" ? &seconds : name == "--bodies" ? &bodies
                         : name == "--seed" ? &seed : name == "--first-time" ? &firstTime : NULL;
        if (value == NULL) return Usage();
        *value = atoll(argv[i + 1]);
    }
    if (print) {
        for (const std::string& body : MakeBodies(static_cast<size_t>(bodies), static_cast<uint64_t>(seed), firstTime)) {
            fwrite(body.data(), 1, body.size(), stdout);
            fputc('\n', stdout);
        }
        return fflush(stdout) == 0 ? 0 : 1;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || threads < 1 || seconds < 1) return Usage();
    // Enough for a loopback server far faster than any measured here.
    if (bodies < 1) bodies = 40000 * seconds;

    std::vector<std::string> requests =
        MakeBodies(static_cast<size_t>(bodies), static_cast<uint64_t>(seed), firstTime);
    for (std::string& r : requests) {
        r = "POST /micro_stats HTTP/1.0\r\nAccept: */*\r\nHost: " + std::string(argv[1]) +
            "\r\nContent-Length: " + std::to_string(r.size()) + "\r\n\r\n" + r;
    }
    std::vector<Tally> tallies(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    std::atomic<size_t> next(0);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now(), end = start + std::chrono::seconds(seconds);
    for (Tally& tally : tallies) workers.emplace_back(Work, std::cref(to), std::cref(requests), std::ref(next), end, &tally);
    for (std::thread& worker : workers) worker.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    const auto cpu = [](const struct rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };

    Tally all;
    for (Tally& tally : tallies) {
        all.micros.insert(all.micros.end(), tally.micros.begin(), tally.micros.end());
        for (const auto& s : tally.statuses) all.statuses[s.first] += s.second;
        all.errors += tally.errors;
        if (all.firstError.empty()) all.firstError = tally.firstError;
    }
    std::sort(all.micros.begin(), all.micros.end());
    const auto percentile = [&](double p) {
        if (all.micros.empty()) return 0.0;
        return all.micros[std::min(all.micros.size() - 1, static_cast<size_t>(p * all.micros.size()))] / 1000.0;
    };
    const uint64_t ok = all.statuses[200];
    std::string others;
    for (const auto& s : all.statuses) {
        if (s.first != 200 && s.second > 0) others += " status_" + std::to_string(s.first) + "=" + std::to_string(s.second);
    }
    printf("qvload requests=%zu ok=%llu other=%llu errors=%llu seconds=%.2f rate=%.0f p50_ms=%.2f p99_ms=%.2f "
           "max_ms=%.2f cpu=%.2f%s\n",
           all.micros.size() + all.errors, static_cast<unsigned long long>(ok),
           static_cast<unsigned long long>(all.micros.size() - ok), static_cast<unsigned long long>(all.errors), elapsed,
           ok / elapsed, percentile(0.50), percentile(0.99), percentile(1.0), (cpu(after) - cpu(before)) / elapsed,
           others.c_str());
    if (next.load() >= requests.size()) fprintf(stderr, "qvload: every body was sent before the time was up\n");
    if (all.errors > 0) fprintf(stderr, "qvload: %llu transport errors, the first: %s\n",
                                static_cast<unsigned long long>(all.errors), all.firstError.c_str());
    return 0;
}
