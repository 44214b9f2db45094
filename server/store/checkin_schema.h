// The check-in tables and their upgrades from the tables of older servers.
#pragma once

#include <string>

namespace vexo::server {

class StoreConnection;

// Creates the tables, or brings those of an older server up to date, one process at a time;
// false, with `error` in one line, when the database refuses or its schema is newer than ours.
bool PrepareCheckinSchema(StoreConnection& connection, std::string& error);

}  // namespace vexo::server
