// The table cursor's record insert, modify and delete against SQLite: one
// random sequence of plain inserts, inserts that modify the record with the
// same unique key (INSERT ... ON CONFLICT DO UPDATE), modifies that may move
// a record onto a taken key, and deletes, some inside caller transactions
// that commit or roll back. After every step both hold the same rows, every
// index of ours holds exactly one entry per record with the record's key,
// and the outcomes agree: 0, or 9729 where SQLite says
// SQLITE_CONSTRAINT_UNIQUE.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/server_table_cursor.h"
#include "support/position_table.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

using TRow = std::tuple<int32_t, std::optional<std::string>, int32_t, int32_t>;

// IDs few enough that inserts and moves collide often.
constexpr int32_t kIDs = 48;

class Sqlite {
public:
  Sqlite() {
    sqlite3_open(":memory:", &db_);
    sqlite3_extended_result_codes(db_, 1);
    Exec("CREATE TABLE t(id INTEGER NOT NULL UNIQUE, name TEXT, grp INTEGER, stamp INTEGER);"
         "CREATE INDEX tn ON t(name); CREATE INDEX tg ON t(grp, stamp DESC)");
  }
  ~Sqlite() { sqlite3_close(db_); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  int Exec(const char* aSql) { return sqlite3_exec(db_, aSql, nullptr, nullptr, nullptr); }
  // The step's result: SQLITE_DONE or the extended error code.
  int Run(const char* aSql, const std::vector<int32_t>& aInts, const std::optional<std::string>* aName) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, aSql, -1, &statement, nullptr);
    int at = 1;
    for (int32_t value : aInts) {
      if (aName && at == 2) BindName(statement, at++, *aName);
      sqlite3_bind_int(statement, at++, value);
    }
    const int result = sqlite3_step(statement);
    sqlite3_finalize(statement);
    return result;
  }
  int Changes() { return sqlite3_changes(db_); }
  std::map<int32_t, TRow> Rows() {
    std::map<int32_t, TRow> rows;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, "SELECT id, name, grp, stamp FROM t", -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::optional<std::string> name;
      if (sqlite3_column_type(statement, 1) != SQLITE_NULL)
        name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
      const int32_t id = sqlite3_column_int(statement, 0);
      rows[id] = {id, name, sqlite3_column_int(statement, 2), sqlite3_column_int(statement, 3)};
    }
    sqlite3_finalize(statement);
    return rows;
  }

private:
  static void BindName(sqlite3_stmt* aStatement, int aAt, const std::optional<std::string>& aName) {
    if (aName)
      sqlite3_bind_text(aStatement, aAt, aName->c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(aStatement, aAt);
  }
  sqlite3* db_ = nullptr;
};

// Our outcome for SQLite's.
uint32_t Expected(int aSqlite) {
  if (aSqlite == SQLITE_DONE) return 0;
  if (aSqlite == SQLITE_CONSTRAINT_UNIQUE) return nxeKeyViolation;
  return 0xFFFFFFFF;
}

class WriteModelTest : public PositionTableFixture {
protected:
  void SetUp() override {
    BuildTable();
    byID_ = NewCursor(IndexNo(u"ByID"));
    byName_ = NewCursor(IndexNo(u"ByName"));
    // Dropped on an index with duplicates: the insert stays plain.
    ASSERT_EQ(byName_->OptionSet(u"INSERT_OPTIONS_MODIFYIFFOUND", u"True"), 0u);
  }

  TRow RowOf(const PositionRow& aRow) { return {aRow.ID, aRow.Name, aRow.Grp, aRow.Stamp}; }
  TRow Decode(const uint8_t* aRecord) {
    TRow row;
    bool isNull = false;
    Fields().GetRecordField(0, aRecord, isNull, &std::get<0>(row));
    uint8_t text[64] = {};
    Fields().GetRecordField(1, aRecord, isNull, text);
    if (!isNull) std::get<1>(row) = std::string(reinterpret_cast<const char*>(text + 1), text[0]);
    Fields().GetRecordField(2, aRecord, isNull, &std::get<2>(row));
    Fields().GetRecordField(3, aRecord, isNull, &std::get<3>(row));
    return row;
  }

  // Our rows by ID, read in the cursor's transaction; every index checked
  // against them on the way.
  std::map<int32_t, TRow> OurRows() {
    TnxBaseTransaction* trans = byID_->ActiveTrans();
    const TRecords records = ReadRecords(*table_, trans, size_t(Fields().RecordLength()));
    std::map<int32_t, TRow> rows;
    for (const auto& [refNr, record] : records) {
      const TRow row = Decode(record.data());
      EXPECT_TRUE(rows.emplace(std::get<0>(row), row).second) << "two records with ID " << std::get<0>(row);
    }
    for (const char16_t* name : {u"ByID", u"ByName", u"ByGrpStamp"})
      ExpectIndexComplete(Index(IndexNo(name)), trans, records, platform::Utf16ToUtf8(name));
    return rows;
  }

  // The ByID cursor on aID: 0 or the search's code.
  uint32_t Locate(int32_t aID) {
    PositionRow row;
    row.ID = aID;
    std::vector<uint8_t> key = KeyOf(IndexNo(u"ByID"), row);
    return byID_->SetToKey(skaEqualFirst, 0, 0, true, key.data());
  }

  PositionRow RandomRow(std::mt19937& aRandom) {
    PositionRow row;
    row.ID = 1 + int32_t(aRandom() % kIDs);
    if (aRandom() % 6 != 0) row.Name = RandomName(aRandom);
    row.Grp = int32_t(aRandom() % 5);
    row.Stamp = int32_t(aRandom() % 100);
    return row;
  }

  void Run(int aSteps, uint32_t aSeed) {
    std::mt19937 random(aSeed);
    Sqlite peer;
    std::vector<int32_t> present;
    bool inTransaction = false;
    for (int step = 0; step < aSteps; ++step) {
      std::string what;
      const uint32_t dice = random() % 100;
      uint32_t ours = 0;
      uint32_t theirs = 0;
      if (!inTransaction && dice < 4) {
        what = "start";
        ours = db->TransactionStart(false, false);
        theirs = Expected(peer.Exec("BEGIN") == SQLITE_OK ? SQLITE_DONE : -1);
        inTransaction = true;
      } else if (inTransaction && dice < 8) {
        const bool commit = random() % 4 != 0;
        what = commit ? "commit" : "rollback";
        ours = commit ? db->TransactionCommit() : db->TransactionRollback();
        theirs = Expected(peer.Exec(commit ? "COMMIT" : "ROLLBACK") == SQLITE_OK ? SQLITE_DONE : -1);
        inTransaction = false;
      } else if (dice < 40) {
        PositionRow row = RandomRow(random);
        what = "insert " + std::to_string(row.ID);
        std::vector<uint8_t> record = Record(row);
        TnxServerTableCursor* cursor = random() % 8 == 0 ? byName_ : byID_;
        if (cursor == byName_) what += " through ByName";
        ours = cursor->RecordInsert(nxltNoLock, record.data(), nullptr);
        theirs = Expected(peer.Run("INSERT INTO t VALUES(?, ?, ?, ?)", {row.ID, row.Grp, row.Stamp}, &row.Name));
      } else if (dice < 60) {
        PositionRow row = RandomRow(random);
        if (!present.empty() && random() % 3 != 0) row.ID = present[random() % present.size()];
        what = "insert or modify " + std::to_string(row.ID);
        std::vector<uint8_t> record = Record(row);
        ASSERT_EQ(byID_->OptionSet(u"INSERT_OPTIONS_MODIFYIFFOUND", u"True"), 0u);
        ours = byID_->RecordInsert(nxltNoLock, record.data(), nullptr);
        ASSERT_EQ(byID_->OptionSet(u"INSERT_OPTIONS_MODIFYIFFOUND", u"False"), 0u);
        theirs = Expected(peer.Run("INSERT INTO t VALUES(?, ?, ?, ?) ON CONFLICT(id) DO UPDATE SET "
                                   "name = excluded.name, grp = excluded.grp, stamp = excluded.stamp",
                                   {row.ID, row.Grp, row.Stamp}, &row.Name));
      } else if (dice < 85) {
        const int32_t id =
            present.empty() || random() % 10 == 0 ? 1 + int32_t(random() % kIDs) : present[random() % present.size()];
        PositionRow row = RandomRow(random);
        if (random() % 3 != 0) row.ID = id;
        what = "modify " + std::to_string(id) + " to " + std::to_string(row.ID);
        const int sqlite = peer.Run("UPDATE t SET id = ?, name = ?, grp = ?, stamp = ? WHERE id = ?",
                                    {row.ID, row.Grp, row.Stamp, id}, &row.Name);
        if (Locate(id) != 0) {
          ASSERT_TRUE(sqlite == SQLITE_DONE && peer.Changes() == 0) << step << ": " << what << " found by SQLite";
        } else {
          std::vector<uint8_t> record = Record(row);
          ours = byID_->RecordModify(record.data(), true, nullptr);
          theirs = Expected(sqlite);
        }
      } else {
        const int32_t id =
            present.empty() || random() % 10 == 0 ? 1 + int32_t(random() % kIDs) : present[random() % present.size()];
        what = "delete " + std::to_string(id);
        const int sqlite = peer.Run("DELETE FROM t WHERE id = ?", {id}, nullptr);
        if (Locate(id) != 0) {
          ASSERT_TRUE(sqlite == SQLITE_DONE && peer.Changes() == 0) << step << ": " << what << " found by SQLite";
        } else {
          ours = byID_->RecordDelete(nullptr, 0);
          theirs = Expected(sqlite);
        }
      }
      ASSERT_EQ(ours, theirs) << step << ": " << what << ": " << LastMessage();
      const std::map<int32_t, TRow> expected = peer.Rows();
      ASSERT_EQ(OurRows(), expected) << step << ": " << what;
      present.clear();
      for (const auto& entry : expected) present.push_back(entry.first);
    }
    if (inTransaction) {
      ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
    }
  }

  TnxServerTableCursor* byID_ = nullptr;
  TnxServerTableCursor* byName_ = nullptr;
};

TEST_F(WriteModelTest, RandomWritesMatchSqliteStepByStep) { Run(TestSize(1500, 100000), 9729); }

}  // namespace
}  // namespace revurov::testing
