#ifndef QV_SERVER_CSV_H
#define QV_SERVER_CSV_H

#include <string>

#include "server/Store.h"

namespace Quorvel {

// The export's columns, one line.
extern const char kCsvHeader[];
// One field of RFC 4180: quoted when it holds a comma, a quote or a line
// break, quotes doubled.
std::string CsvField(const std::string& text);
// One stored report as a line of the export.
std::string CsvRow(const QVReportRow& row);

}  // namespace Quorvel

#endif
