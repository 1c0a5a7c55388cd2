// The SQLite store on a real file; PostgreSQL is tested the same way by
// tests/server/test_storage.sh against a real server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "server/SqliteStore.h"

using namespace Quorvel;

namespace {

class SqliteStoreTest : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/qvstore-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(folder));
        m_folder = folder;
        m_path = m_folder + "/stats.db";
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + m_folder + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << m_folder;
    }
    static QVReportRow Row(const std::string& guid, const std::string& time, const std::string& version = "1.0") {
        QVReportRow r;
        r.receivedAt = 1796795383;
        r.day = "2026-12-09";
        r.gameId = "3";
        r.version = version;
        r.guid = guid;
        r.clientTime = time;
        r.osMajor = 6;
        r.osMinor = 1;
        r.system = "Windows 7 & x=y";
        r.body = "game_id=3&...";
        return r;
    }
    std::string m_folder, m_path;
};

TEST_F(SqliteStoreTest, ReplaysCountOnceAndMachinesCountTheirReports) {
    QVSqliteStore store(m_path, QVStoreOptions());
    std::string error;
    ASSERT_TRUE(store.Prepare(&error)) << error;
    std::vector<bool> inserted;
    // A report, its replay in the same batch and in a later one, the same
    // machine's second installation, another machine.
    ASSERT_TRUE(store.WriteBatch({Row("m1", "100"), Row("m1", "100")}, {}, &inserted, &error)) << error;
    EXPECT_EQ(std::vector<bool>({true, false}), inserted);
    ASSERT_TRUE(store.WriteBatch({Row("m1", "100"), Row("m1", "200", "1.1"), Row("m2", "100")},
                                 {QVRejectCount{"2026-12-09", "bad_signature", 2}}, &inserted, &error))
        << error;
    EXPECT_EQ(std::vector<bool>({false, true, true}), inserted);

    QVGameSummary summary;
    ASSERT_TRUE(store.Summary("3", "2026-12-09", &summary));
    EXPECT_EQ(3, summary.reports);
    EXPECT_EQ(2, summary.machines);
    EXPECT_EQ(3, summary.reportsToday);
    EXPECT_EQ(2, summary.newMachinesToday);
    QVBreakdownPage versionPage;
    ASSERT_TRUE(store.Breakdown("3", "version", 0, 50, &versionPage));
    const std::vector<QVBreakdownRow>& versions = versionPage.rows;
    ASSERT_EQ(2u, versions.size());
    EXPECT_EQ("1.0", versions[0].value);
    EXPECT_EQ(2, versions[0].reports);
    QVBreakdownPage systemPage;
    ASSERT_TRUE(store.Breakdown("3", "os", 0, 50, &systemPage));
    const std::vector<QVBreakdownRow>& systems = systemPage.rows;
    ASSERT_EQ(1u, systems.size());
    EXPECT_EQ("6.1\tWindows 7 & x=y", systems[0].value);
    std::vector<QVRejectCount> rejects;
    ASSERT_TRUE(store.Rejects(&rejects));
    ASSERT_EQ(1u, rejects.size());
    EXPECT_EQ(2, rejects[0].count);
    // The export in pages: each starts after the last row of the one before.
    std::vector<QVReportRow> page;
    QVExportPlace after;
    ASSERT_TRUE(store.ExportPage("", 0, INT64_MAX, after, 2, &page));
    ASSERT_EQ(2u, page.size());
    EXPECT_EQ("100", page[0].clientTime);
    after.receivedAt = page.back().receivedAt;
    after.id = page.back().id;
    ASSERT_TRUE(store.ExportPage("", 0, INT64_MAX, after, 2, &page));
    ASSERT_EQ(1u, page.size());
    EXPECT_EQ("m2", page[0].guid);
    ASSERT_TRUE(store.ExportPage("7", 0, INT64_MAX, QVExportPlace(), 2, &page));
    EXPECT_TRUE(page.empty());
}

TEST_F(SqliteStoreTest, PruneDeletesOldRawReportsAndKeepsEveryCount) {
    QVSqliteStore store(m_path, QVStoreOptions());
    std::string error;
    ASSERT_TRUE(store.Prepare(&error)) << error;
    std::vector<QVReportRow> rows;
    for (int i = 0; i < 7; ++i) {
        rows.push_back(Row("m" + std::to_string(i % 3), std::to_string(i)));
        rows.back().receivedAt = 1000 + i;
    }
    std::vector<bool> inserted;
    ASSERT_TRUE(store.WriteBatch(rows, {}, &inserted, &error)) << error;
    int64_t deleted = 0;
    ASSERT_TRUE(store.Prune(1005, 2, &deleted, &error)) << error;  // bounded: two at a time
    EXPECT_EQ(2, deleted);
    ASSERT_TRUE(store.Prune(1005, 100, &deleted, &error)) << error;
    EXPECT_EQ(3, deleted);
    std::vector<QVReportRow> left;
    ASSERT_TRUE(store.ExportPage("", 0, INT64_MAX, QVExportPlace(), 100, &left));
    ASSERT_EQ(2u, left.size());
    EXPECT_EQ(1005, left[0].receivedAt);
    QVGameSummary summary;
    ASSERT_TRUE(store.Summary("3", "2026-12-09", &summary));
    EXPECT_EQ(7, summary.reports);
    EXPECT_EQ(3, summary.machines);
    // A replay of a pruned report is no new report: its machine is known.
    ASSERT_TRUE(store.WriteBatch({Row("m0", "0")}, {}, &inserted, &error)) << error;
    ASSERT_TRUE(store.Summary("3", "2026-12-09", &summary));
    EXPECT_EQ(3, summary.machines);
}

TEST_F(SqliteStoreTest, ANewDatabaseIsPrivateAndABackupIsAWholeCopy) {
    {
        QVSqliteStore store(m_path, QVStoreOptions());
        std::string error;
        ASSERT_TRUE(store.Prepare(&error)) << error;
        std::vector<bool> inserted;
        ASSERT_TRUE(store.WriteBatch({Row("m1", "100"), Row("m2", "100")}, {}, &inserted, &error));
        struct stat info;
        ASSERT_EQ(0, stat(m_path.c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        ASSERT_EQ(0, stat((m_path + "-wal").c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        // While the server's connection is open, as it would be.
        ASSERT_TRUE(BackupSqlite(m_path, m_folder + "/copy.db", &error)) << error;
        ASSERT_EQ(0, stat((m_folder + "/copy.db").c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        EXPECT_NE(0, access((m_folder + "/copy.db.partial").c_str(), F_OK));
    }
    QVSqliteStore copy(m_folder + "/copy.db", QVStoreOptions());
    std::string error;
    ASSERT_TRUE(copy.Prepare(&error)) << error;
    QVGameSummary summary;
    ASSERT_TRUE(copy.Summary("3", "2026-12-09", &summary));
    EXPECT_EQ(2, summary.reports);
    EXPECT_FALSE(BackupSqlite(m_folder + "/none.db", m_folder + "/x.db", &error));
}

TEST_F(SqliteStoreTest, WhatWasCommittedSurvivesAndANewerSchemaIsRefused) {
    {
        QVSqliteStore store(m_path, QVStoreOptions());
        std::string error;
        ASSERT_TRUE(store.Prepare(&error)) << error;
        std::vector<bool> inserted;
        ASSERT_TRUE(store.WriteBatch({Row("m1", "100")}, {}, &inserted, &error));
    }
    {
        QVSqliteStore again(m_path, QVStoreOptions());
        std::string error;
        ASSERT_TRUE(again.Prepare(&error)) << error;
        QVGameSummary summary;
        ASSERT_TRUE(again.Summary("3", "2026-12-09", &summary));
        EXPECT_EQ(1, summary.reports);
        QVSqliteDb db(m_path, 2 /* SQLITE_OPEN_READWRITE */);
        ASSERT_TRUE(db.Exec("UPDATE meta SET value = '99' WHERE key = 'schema_version'"));
    }
    QVSqliteStore newer(m_path, QVStoreOptions());
    std::string error;
    EXPECT_FALSE(newer.Prepare(&error));
    EXPECT_NE(std::string::npos, error.find("schema version 99")) << error;
}

TEST_F(SqliteStoreTest, AnUnusableFileIsAClearError) {
    QVSqliteStore store(m_folder + "/no/such/folder/stats.db", QVStoreOptions());
    std::string error;
    EXPECT_FALSE(store.Prepare(&error));
    EXPECT_NE(std::string::npos, error.find("cannot open")) << error;
}

}  // namespace
