// Which store a --db text names, and opening it: the one unit that knows every backend.
#pragma once

#include "QVStore.h"

#include <memory>
#include <string>

struct TStoreSettings {
    bool fullSync = true; // SQLite: flush each commit to the disk instead of at checkpoints only
};

// True for a postgresql:// or postgres:// URL, which selects PostgreSQL; any other text names an
// SQLite file (":memory:" for a private in-memory database).
bool IsPostgresURL(const std::string& aDatabase);

// Opens the store and brings its schema to the current version. Throws TStoreError with a message
// for the operator when the database is malformed, unreachable or of a newer schema.
std::unique_ptr<TReportStore> OpenStore(const std::string& aDatabase, const TStoreSettings& aSettings = {});
