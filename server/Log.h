#ifndef QV_SERVER_LOG_H
#define QV_SERVER_LOG_H

#include <stdint.h>

#include <stddef.h>

#include <string>

namespace Quorvel {

// One line per event on standard error, each with an ISO 8601 time stamp
// and a level: "2026-12-09T16:48:36.123+0000 info database back after 5.2 s".
// Lines are written whole, so threads never interleave within one.
enum QVLogLevel { kLogInfo, kLogWarning, kLogError };

void Log(QVLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// text with control characters, '"', '%' and '\\' written as %XX: one
// field of a line, whatever a client sent.
std::string Escaped(const std::string& text);

// One request, for --access-log: the listener, the peer, the request line
// (Escaped), the status, the bytes sent and how long it took.
void LogAccess(const char* listener, const std::string& peer, const std::string& request, int status, size_t bytes,
               double seconds);

// The line as Log writes it, without its end; for tests and the access log.
std::string LogLine(QVLogLevel level, int64_t microseconds, const std::string& text);

// A message from a library made one line: line breaks and runs of blanks
// become one blank, trailing ones go.
std::string OneLine(const std::string& text);

}  // namespace Quorvel

#endif
