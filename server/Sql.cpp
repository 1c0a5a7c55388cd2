#include "server/Sql.h"

namespace Quorvel {

std::string NumberedPlaceholders(const std::string& sql) {
    std::string out;
    bool quoted = false;
    int n = 0;
    for (char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted) {
            out += "$" + std::to_string(++n);
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace Quorvel
