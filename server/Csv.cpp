#include "server/Csv.h"

#include <string.h>

#include "server/Days.h"

namespace Quorvel {

const char kCsvHeader[] = "received_at,game_id,version,guid,client_time,osmajor,osminor,system,flash,source\r\n";

std::string CsvField(const std::string& text, bool defuse) {
    // A spreadsheet runs a cell that starts like a formula; a leading quote
    // makes it text, and the spreadsheet does not show the quote.
    const std::string cell = defuse && !text.empty() && strchr("=+-@\t\r", text[0]) != NULL ? "'" + text : text;
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string out = "\"";
    for (char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvRow(const QVReportRow& r, bool defuse) {
    return CsvField(Iso8601(r.receivedAt), defuse) + "," + CsvField(r.gameId, defuse) + "," +
           CsvField(r.version, defuse) + "," + CsvField(r.guid, defuse) + "," + CsvField(r.clientTime, defuse) + "," +
           std::to_string(r.osMajor) + "," + std::to_string(r.osMinor) + "," + CsvField(r.system, defuse) + "," +
           CsvField(r.flash, defuse) + "," + CsvField(r.source, defuse) + "\r\n";
}

}  // namespace Quorvel
