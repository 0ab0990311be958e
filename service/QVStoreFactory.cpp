#include "QVStoreFactory.h"

#include "QVPostgresStore.h"
#include "QVSQLiteStore.h"

bool IsPostgresURL(const std::string& aDatabase) {
    return aDatabase.rfind("postgresql://", 0) == 0 || aDatabase.rfind("postgres://", 0) == 0;
}

std::unique_ptr<TReportStore> OpenStore(const std::string& aDatabase, const TStoreSettings& aSettings) {
    if (IsPostgresURL(aDatabase))
        return std::make_unique<TPostgresStore>(aDatabase);
    return std::make_unique<TSQLiteStore>(aDatabase, aSettings.fullSync);
}
