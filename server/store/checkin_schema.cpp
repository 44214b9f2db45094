#include "server/store/checkin_schema.h"

#include <algorithm>

#include "server/store/store_connection.h"

namespace vexo::server {
namespace {

constexpr int kSchemaVersion = 5;

std::string CreateTablesV1(const SqlDialect& dialect) {
  return std::string("CREATE TABLE IF NOT EXISTS checkins (id ") + dialect.rowIdColumn +
         ", at BIGINT NOT NULL,"  // seconds since 1970-01-01 UTC
         " query TEXT NOT NULL, ver TEXT NOT NULL, t TEXT NOT NULL,"
         " client TEXT NOT NULL,"  // empty once the retention time has passed
         " status INTEGER NOT NULL);"
         "CREATE INDEX IF NOT EXISTS checkins_at ON checkins(at);";
}

std::string CreateTablesV2(const SqlDialect& dialect) {
  return std::string("CREATE TABLE IF NOT EXISTS downloads (id ") + dialect.rowIdColumn +
         ", at BIGINT NOT NULL, file TEXT NOT NULL, bytes BIGINT NOT NULL,"
         " complete INTEGER NOT NULL);"
         "CREATE INDEX IF NOT EXISTS downloads_at ON downloads(at);"
         // The rows that still hold an address, so that retention never rereads cleared ones.
         "CREATE INDEX IF NOT EXISTS checkins_with_client ON checkins(at) WHERE client <> '';";
}

// What became of the offer in each start answer: the release it named, and whether a rollout
// held it back (per check-in until version 5).
std::string AddColumnsV3(const SqlDialect&) {
  return "ALTER TABLE checkins ADD COLUMN offered TEXT NOT NULL DEFAULT '';"
         "ALTER TABLE checkins ADD COLUMN withheld INTEGER NOT NULL DEFAULT 0;";
}

// Where each download started: 0 for a fresh one, the first byte sent for a resumed one.
std::string AddColumnsV4(const SqlDialect&) {
  return "ALTER TABLE downloads ADD COLUMN resumed_from BIGINT NOT NULL DEFAULT 0;";
}

// Offers served and withheld counted per UTC day (days since 1970-01-01) and release, instead
// of in each check-in's row, which cost every check-in two more values to write.
std::string CountOffersV5(const SqlDialect&) {
  return "ALTER TABLE checkins DROP COLUMN offered;"
         "ALTER TABLE checkins DROP COLUMN withheld;"
         "CREATE TABLE IF NOT EXISTS offers (day BIGINT NOT NULL, offered TEXT NOT NULL,"
         " served BIGINT NOT NULL, withheld BIGINT NOT NULL, PRIMARY KEY (day, offered));";
}

}  // namespace

bool PrepareCheckinSchema(StoreConnection& connection, std::string& error) {
  const SqlDialect& dialect = connection.Dialect();
  auto fail = [&](const SqlResult& result) {
    error = result.error;
    connection.Run("ROLLBACK;");
    return false;
  };
  SqlResult step = connection.Run(dialect.beginSchemaChange);
  if (!step.ok) {
    error = step.error;
    return false;
  }
  step = connection.Run(
      "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);"
      "SELECT max(version) FROM schema_version;");
  if (!step.ok) {
    return fail(step);
  }
  int64_t version = step.rows.empty() ? 0 : ToInteger(step.rows.back().front());
  if (version > kSchemaVersion) {
    step.error = "its schema (version " + std::to_string(version) +
                 ") is newer than this server's (version " + std::to_string(kSchemaVersion) + ")";
    return fail(step);
  }
  if (version < kSchemaVersion) {
    // Each step takes the schema of the version before it to its own (versions 1 and 2 only
    // add what is missing; the columns of 3 and 4 are new to any database before them, and 5
    // takes 3's away again).
    const std::string steps[] = {CreateTablesV1(dialect), CreateTablesV2(dialect),
                                 AddColumnsV3(dialect), AddColumnsV4(dialect),
                                 CountOffersV5(dialect)};
    static_assert(sizeof steps / sizeof steps[0] == kSchemaVersion);
    for (int64_t from = std::max<int64_t>(version, 0); from < kSchemaVersion; ++from) {
      if (!(step = connection.Run(steps[from])).ok) {
        return fail(step);
      }
    }
    step = connection.Run("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" +
                          std::to_string(kSchemaVersion) + ");");
    if (!step.ok) {
      return fail(step);
    }
  }
  if (!(step = connection.Run("COMMIT;")).ok) {
    return fail(step);
  }
  return true;
}

}  // namespace vexo::server
