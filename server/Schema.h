#ifndef QV_SERVER_SCHEMA_H
#define QV_SERVER_SCHEMA_H

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "server/Sql.h"

namespace Quorvel {

// The one schema of both stores; what differs between SQLite and
// PostgreSQL (types, the row id, rowid-less tables) is data here.
enum QVDialect { kSqlite, kPostgres };

const int kSchemaVersion = 4;

// Creates the schema in an empty database, upgrades one of an earlier
// version in place, or refuses one newer than this program (where names the
// database in the message); inside the caller's transaction, so an upgrade
// that fails leaves the database as it was. upgraded(from) is the store's
// own part of an upgrade from that version, after the schema's (a recount,
// say). sourceKey: the database's key for hashing source addresses, made on
// first use. breakdownCap: recorded in the database when given, read from
// it when 0. create: false refuses a database without the schema.
bool EnsureSchema(QVDialect dialect, QVSqlSession& session, const std::string& where,
                  const std::function<bool(int from)>& upgraded, std::string* sourceKey, size_t* breakdownCap,
                  bool create, std::string* error);

const size_t kDefaultBreakdownCap = 1000;

// Random hexadecimal digits from the system's source; empty if it fails.
std::string RandomHex(size_t digits);

// The statements that create the current schema.
std::string CreateSchemaSql(QVDialect dialect);
// The statements that take a database from version `from` to the next (the
// first version's, to the present one).
std::string UpgradeSql(QVDialect dialect, int from);

// The statements that move the counts, in both stores' own words: each
// adds to a row (made when missing), or deletes it once nothing is left.
namespace QVCountSql {
extern const char kPutMachine[];
extern const char kDropMachine[];
extern const char kAddDay[];
extern const char kDropDay[];
extern const char kAddLast[];
extern const char kDropLast[];
extern const char kAddGap[];
extern const char kDropGap[];
extern const char kAddValue[];
extern const char kDropValue[];
extern const char kAddValueDay[];
extern const char kDropValueDay[];
extern const char kAddGame[];
extern const char kDropGame[];
}  // namespace QVCountSql

}  // namespace Quorvel

#endif
