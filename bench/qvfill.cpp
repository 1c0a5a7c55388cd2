// qvfill: a database holding COUNT reports, as if they had come in evenly
// over the last DAYS days, for timing the dashboard and sizing the database
// at scale. The bodies (one a line on standard input, as "qvload --print"
// writes them) go through the intake's own checks and conversion and the
// server's own store, in large transactions, so the rows and counts are
// those the server would have written, only sooner.
//
//   qvload --print COUNT | qvfill DB_URL COUNT [--days DAYS] [--batch N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "report/Report.h"
#include "server/Convert.h"
#include "server/Intake.h"
#include "server/Days.h"
#include "server/Store.h"

using namespace Quorvel;

namespace {

int Fail(const std::string& message) {
    fprintf(stderr, "qvfill: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        fputs("usage: qvload --print COUNT | qvfill DB_URL COUNT [--days DAYS] [--batch N]\n", stderr);
        return 2;
    }
    const long long count = atoll(argv[2]);
    long long days = 30, batch = 5000;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--days") == 0) days = atoll(argv[i + 1]);
        else if (strcmp(argv[i], "--batch") == 0) batch = atoll(argv[i + 1]);
        else return Fail(std::string("unknown option: ") + argv[i]);
    }
    if (count < 1 || days < 1 || batch < 1) return Fail("COUNT, DAYS and N are positive numbers");
    std::string error;
    std::unique_ptr<QVStore> store = OpenStore(argv[1], &error);
    if (!store || !store->Prepare(&error)) return Fail(error);

    QVIconv toUtf8("GBK"), fromUtf8("UTF-8", "GBK");
    const std::string key = DefaultSigningKey();
    const auto started = std::chrono::steady_clock::now();
    const int64_t now = static_cast<int64_t>(time(NULL)), span = days * 86400, first = now - span;
    std::ios::sync_with_stdio(false);
    std::vector<QVReportRow> rows;
    std::vector<bool> inserted;
    long long taken = 0, added = 0;
    std::string body;
    const auto flush = [&] {
        if (!store->WriteBatch(rows, std::vector<QVRejectCount>(), &inserted, NULL, &error)) return false;
        for (bool fresh : inserted) added += fresh ? 1 : 0;
        rows.clear();
        return true;
    };
    while (taken < count && std::getline(std::cin, body)) {
        QVReportFields fields;
        if (TakeIn(body, key, toUtf8, &fields) != kIntakeAccepted) return Fail("a body the server would refuse: " + body);
        QVReportRow row;
        row.receivedAt = first + span * taken / count;
        row.day = LocalDay(row.receivedAt);
        row.gameId = fields.gameId;
        row.version = fields.version;
        row.guid = fields.guid;
        row.clientTime = fields.time;
        row.osMajor = atoll(fields.osMajor.c_str());
        row.osMinor = atoll(fields.osMinor.c_str());
        row.system = fields.system;
        row.flash = fields.flash;
        row.sign = fields.sign;
        row.bodyRebuilds = RebuildBody(fields, fromUtf8) == body;
        row.body.swap(body);
        rows.push_back(std::move(row));
        ++taken;
        if (static_cast<long long>(rows.size()) >= batch && !flush()) return Fail(error);
    }
    if (!rows.empty() && !flush()) return Fail(error);
    if (taken < count) return Fail("only " + std::to_string(taken) + " bodies on standard input");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("qvfill reports=%lld new=%lld seconds=%.1f rate=%.0f\n", taken, added, seconds, taken / seconds);
    return 0;
}
