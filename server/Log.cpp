#include "server/Log.h"

#include "server/Days.h"

#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

namespace Quorvel {

namespace {

const char* LevelName(QVLogLevel level) {
    switch (level) {
    case kLogInfo: return "info";
    case kLogWarning: return "warning";
    case kLogError: return "error";
    }
    return "info";
}

}  // namespace

std::string LogLine(QVLogLevel level, int64_t microseconds, const std::string& text) {
    const time_t seconds = static_cast<time_t>(microseconds / 1000000);
    struct tm local;
    char stamp[64] = "1970-01-01T00:00:00";
    char zone[8] = "+0000";
    if (localtime_r(&seconds, &local) != NULL) {
        strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &local);
        strftime(zone, sizeof(zone), "%z", &local);
    }
    char head[96];
    snprintf(head, sizeof(head), "%s.%03d%s", stamp, static_cast<int>(microseconds % 1000000 / 1000), zone);
    return ZoneWithColon(head) + " " + LevelName(level) + " " + text;
}

std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (blank) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void Log(QVLogLevel level, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    struct timeval now;
    gettimeofday(&now, NULL);
    const std::string line =
        LogLine(level, static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec, OneLine(text)) + "\n";
    // One call: stdio locks the stream for it, so the line stays whole.
    fwrite(line.data(), 1, line.size(), stderr);
}

std::string Escaped(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '%' || c == '\\') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void LogAccess(const char* listener, const std::string& peer, const std::string& request, int status, size_t bytes,
               double seconds) {
    Log(kLogInfo, "access %s %s \"%s\" %d %zu %.1fms", listener, peer.c_str(), Escaped(request).c_str(), status, bytes,
        seconds * 1000);
}

}  // namespace Quorvel
