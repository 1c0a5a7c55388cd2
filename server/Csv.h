#ifndef QV_SERVER_CSV_H
#define QV_SERVER_CSV_H

#include <string>

#include "server/Store.h"

namespace Quorvel {

// The export's columns, one line.
extern const char kCsvHeader[];
// One field of RFC 4180: quoted when it holds a comma, a quote or a line
// break, quotes doubled. Defused, a text that a spreadsheet would take for
// a formula (it starts with =, +, -, @, a tab or a carriage return) gets a
// leading "'".
std::string CsvField(const std::string& text, bool defuse = true);
// One stored report as a line of the export.
std::string CsvRow(const QVReportRow& row, bool defuse = true);

}  // namespace Quorvel

#endif
