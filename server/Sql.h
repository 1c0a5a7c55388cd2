#ifndef QV_SERVER_SQL_H
#define QV_SERVER_SQL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace Quorvel {

// A value bound to a statement: a number, a text or bytes.
struct QVSqlValue {
    bool isText, isBytes;
    int64_t number;
    std::string text;
    QVSqlValue(int64_t n) : isText(false), isBytes(false), number(n) {}
    QVSqlValue(int n) : isText(false), isBytes(false), number(n) {}
    QVSqlValue(const std::string& t) : isText(true), isBytes(false), number(0), text(t) {}
    QVSqlValue(const char* t) : isText(true), isBytes(false), number(0), text(t) {}
    static QVSqlValue Bytes(const std::string& bytes) {
        QVSqlValue v(bytes);
        v.isBytes = true;
        return v;
    }
};

// One row of a result, every column as text (numbers in decimal).
typedef std::vector<std::string> QVSqlRow;

// What the code shared by both stores needs of a connection: statements in
// one SQL for both, with "?" for each value (PostgreSQL's $1, $2 are made
// from them). Used by one thread, inside the store's own transaction.
class QVSqlSession {
public:
    virtual ~QVSqlSession() {}
    // Statements without values, any number.
    virtual bool Exec(const std::string& sql) = 0;
    // One statement; its rows, when asked for.
    virtual bool Run(const std::string& sql, const std::vector<QVSqlValue>& values,
                     std::vector<QVSqlRow>* rows = NULL) = 0;
    // Rows the last INSERT, UPDATE or DELETE touched.
    virtual int64_t Changes() = 0;
    virtual std::string Error() = 0;
};

// "?" made "$1", "$2"…, outside quoted texts.
std::string NumberedPlaceholders(const std::string& sql);

}  // namespace Quorvel

#endif
