#include "report/Report.h"

#include "report/Md5.h"

namespace Quorvel {

const char* const kReportFields[kReportFieldCount] = {"game_id", "version", "guid",    "time", "sign",
                                                      "osmajor", "osminor", "system", "flash"};

std::string DefaultSigningKey() { return std::string(kSigningKey, kSigningKey + sizeof(kSigningKey) / sizeof(wchar_t) - 1); }

std::string SigningBytes(const std::string& gameId, const std::string& guid, const std::string& time,
                         const std::string& key) {
    return gameId + guid + time + key;
}

std::string SignatureOf(const std::string& signingBytes) {
    unsigned char digest[16] = {0};
    const std::wstring hex = Md5Hex(signingBytes.data(), static_cast<long>(signingBytes.size()), digest);
    return std::string(hex.begin(), hex.end());  // ASCII digits
}

}  // namespace Quorvel
