// The vendor's statistics: per day the installations, removals, distinct active clients and the
// versions in the field, with the adoption of each offered update; as JSON and as an HTML page
// whose charts are inline SVG drawn here (the page loads nothing else).
#pragma once

#include "QVForm.h"
#include "QVStore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The day number (days since 1970-01-01) of a "YYYY-MM-DD" date from 1970 to 9999, or empty.
std::optional<std::int64_t> ParseDay(const std::string& aText);
std::string DayText(std::int64_t aDayNumber);

constexpr int kDefaultStatsDays = 30;
constexpr int kMaxStatsDays = 366;

struct TStatsRange {
    std::string first, last; // YYYY-MM-DD, first <= last
};

// The days a statistics request asks for with "from" and "to" (YYYY-MM-DD, each at most once;
// other fields are ignored). Without "to" the range ends at aToday, without "from" it spans
// kDefaultStatsDays, from 1970-01-01 at the earliest. False with the reason in anError for anything else, a reversed
// range or one longer than kMaxStatsDays.
bool ParseStatsRange(const TFormFields& aFields, const std::string& aToday, TStatsRange& aRange, std::string& anError);

// The version of a client's VER text ("QUENVAR=1.0.0.1") as four numbers ("1.0.0.1"), or
// "unknown" when it does not parse.
std::string FieldVersion(const std::string& aVer);

struct TStatsDay {
    std::string day;
    std::int64_t installations = 0, removals = 0, hits = 0, active = 0, rejected = 0;
    std::vector<std::int64_t> versions; // clients per entry of TStatistics::versions
};

struct TAdoptionDay {
    std::string day;
    std::int64_t clients = 0; // clients with a readable version that day
    std::int64_t updated = 0; // of them, at the offered version or newer
};

struct TAdoption {
    std::string version, url, since;
    std::vector<TAdoptionDay> days; // from the day of the offer on
};

struct TStatistics {
    TStatsRange range;
    std::vector<std::string> versions; // newest first, "unknown" last
    std::vector<TStatsDay> days;       // every day of the range
    std::vector<TAdoption> adoption;   // the offers made before the range ended
};

// aText with "&", "<", ">" and '"' as entities: XML or HTML text, or a double-quoted attribute.
std::string XmlText(const std::string& aText);

// aText as a JSON string literal, quotes included; aText must be UTF-8.
std::string JsonText(const std::string& aText);

TStatistics BuildStatistics(const TStoreStatistics& aCounts, const TStatsRange& aRange);
std::string StatisticsJSON(const TStatistics& aStatistics);
std::string StatisticsHTML(const TStatistics& aStatistics);
