#include "server/Csv.h"

#include "server/Days.h"

namespace Quorvel {

const char kCsvHeader[] = "received_at,game_id,version,guid,client_time,osmajor,osminor,system,flash\r\n";

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvRow(const QVReportRow& r) {
    return CsvField(Iso8601(r.receivedAt)) + "," + CsvField(r.gameId) + "," + CsvField(r.version) + "," +
           CsvField(r.guid) + "," + CsvField(r.clientTime) + "," + std::to_string(r.osMajor) + "," +
           std::to_string(r.osMinor) + "," + CsvField(r.system) + "," + CsvField(r.flash) + "\r\n";
}

}  // namespace Quorvel
