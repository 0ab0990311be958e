#include "QVForm.h"
#include "QVRequest.h"
#include "QVStats.h"

#include <gtest/gtest.h>

namespace {

TEST(QVStatsTest, DaysTable) {
    const struct {
        const char* text;
        std::int64_t number; // -1: not a day
    } cases[] = {
        {"1970-01-01", 0},     {"1970-01-02", 1},     {"2000-02-29", 11016},
        {"2024-02-29", 19782}, {"2024-03-01", 19783}, {"9999-12-31", 2932896},
        {"2023-02-29", -1},    {"2100-02-29", -1},    {"1969-12-31", -1},
        {"2024-13-01", -1},    {"2024-00-10", -1},    {"2024-04-31", -1},
        {"2024-01-00", -1},    {"2024-1-01", -1},     {"24-01-01", -1},
        {"2024/01/01", -1},    {"2024-01-01 ", -1},   {"", -1},
        {"+024-01-01", -1},    {"2024-0a-01", -1},
    };
    for (const auto& c : cases) {
        const auto day = ParseDay(c.text);
        if (c.number < 0) {
            EXPECT_FALSE(day) << c.text;
        } else {
            ASSERT_TRUE(day) << c.text;
            EXPECT_EQ(*day, c.number) << c.text;
            EXPECT_EQ(DayText(c.number), c.text);
        }
    }
}

TEST(QVStatsTest, RangeDefaultsAndLimits) {
    TStatsRange range;
    std::string error;
    ASSERT_TRUE(ParseStatsRange({}, "2024-03-10", range, error));
    EXPECT_EQ(range.first, "2024-02-10");
    EXPECT_EQ(range.last, "2024-03-10");
    ASSERT_TRUE(ParseStatsRange({{"to", "2024-01-05"}, {"other", "x"}}, "2024-03-10", range, error));
    EXPECT_EQ(range.first, "2023-12-07");
    EXPECT_EQ(range.last, "2024-01-05");
    ASSERT_TRUE(ParseStatsRange({{"from", "2024-03-10"}}, "2024-03-10", range, error));
    EXPECT_EQ(range.first, "2024-03-10");
    EXPECT_EQ(range.last, "2024-03-10");
    EXPECT_FALSE(ParseStatsRange({{"from", "2024-03-11"}}, "2024-03-10", range, error));
    EXPECT_EQ(error, "from must not be after to");
    EXPECT_FALSE(ParseStatsRange({{"to", "2024-03-11"}, {"to", "2024-03-11"}}, "2024-03-10", range, error));
    EXPECT_FALSE(ParseStatsRange({{"from", "2023-03-10"}}, "2024-03-10", range, error));
    EXPECT_EQ(error, "the range spans at most 366 days");
    EXPECT_TRUE(ParseStatsRange({{"from", "2023-03-11"}}, "2024-03-10", range, error));
    // The default start never leaves the days ParseDay reads, or the page's links would be refused.
    ASSERT_TRUE(ParseStatsRange({{"to", "1970-01-05"}}, "2024-03-10", range, error));
    EXPECT_EQ(range.first, "1970-01-01");
    EXPECT_EQ(range.last, "1970-01-05");
    ASSERT_TRUE(ParseStatsRange({{"from", range.first}, {"to", range.last}}, "2024-03-10", range, error));
}

TEST(QVStatsTest, FormFieldsTable) {
    EXPECT_EQ(ParseForm("CR=a%2Bb+c&x&=y&%41=%u00e9& t = v &&Action=INQV=2"),
              (TFormFields{{"CR", "a+b c"}, {"x", ""}, {"A", "\xC3\xA9"}, {"t", "v"}, {"Action", "INQV=2"}}));
    EXPECT_EQ(ParseForm(""), TFormFields{});
    EXPECT_EQ(ParseForm("&&&"), TFormFields{});
    const struct {
        const char *in, *out;
    } decoded[] = {
        {"%", "%"},
        {"%4", "%4"},
        {"%zz", "%zz"},
        {"%u12", "%u12"},
        {"%41%42", "AB"},
        {"%e2%82%ac", "\xE2\x82\xAC"},
        {"%u20AC", "\xE2\x82\xAC"},
        {"a+b", "a b"},
    };
    for (const auto& d : decoded)
        EXPECT_EQ(UrlDecode(d.in), d.out) << d.in;
    EXPECT_EQ(UrlDecode("%00"), std::string(1, '\0'));
    const TFormFields fields = {{"CR", "1"}, {"cr", "2"}, {"CR", "3"}};
    EXPECT_EQ(FormValue(fields, "CR"), "1");
    EXPECT_EQ(FormValue(fields, "Action"), "");
    EXPECT_EQ(FormCount(fields, "CR"), 2u);
}

TEST(QVStatsTest, SecretsAndAuthorization) {
    EXPECT_TRUE(SameSecret("abc", "abc"));
    EXPECT_TRUE(SameSecret("", ""));
    EXPECT_FALSE(SameSecret("abc", "abd"));
    EXPECT_FALSE(SameSecret("abc", "abcd"));
    EXPECT_FALSE(SameSecret(std::string("a\0b", 3), "a"));
    // An empty configured token authorizes nothing, whatever is presented.
    EXPECT_FALSE(IsAuthorized("Bearer ", ""));
    EXPECT_FALSE(IsAuthorized("Basic Og==", ""));
    EXPECT_TRUE(IsAuthorized("Basic dTpw", "p")); // "u:p"
    EXPECT_FALSE(IsAuthorized("Basic dTpw=", "p"));
}

TEST(QVStatsTest, FieldVersionsTable) {
    const struct {
        const char *ver, *version;
    } cases[] = {
        {"QUENVAR=1.0.0.1", "1.0.0.1"}, {"QUENVAR=1.2", "1.2.0.0"},      {"1.0.3", "1.0.3.0"},
        {"A=B=2", "2.0.0.0"},           {"QUENVAR=", "unknown"},         {"", "unknown"},
        {"QUENVAR=x", "unknown"},       {"QUENVAR=<b>1</b>", "unknown"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FieldVersion(c.ver), c.version) << c.ver;
}

TEST(QVStatsTest, FiguresFromTheCounts) {
    TStoreStatistics counts;
    TDayCounts day1;
    day1.day = "2024-05-01";
    day1.hits = 5;
    day1.active = 4;
    // Two texts of one version are one version in the field.
    day1.versions = {{"QUENVAR=1.2", 1}, {"QUENVAR=1.2.0.0", 1}, {"QUENVAR=1.1", 2}, {"QUENVAR=<x>", 1}};
    TDayCounts day3;
    day3.day = "2024-05-03";
    day3.installations = 2;
    day3.versions = {{"QUENVAR=1.2", 3}};
    counts.days = {day1, day3};
    counts.offers = {{"1.2", "http://u.example/\"q\"\n", "2024-04-20T10:00:00Z"},
                     {"bad version", "http://u.example/x", "2024-04-21T10:00:00Z"},
                     {"1.3", "http://u.example/y", "2024-05-02T00:00:00Z"}};
    const TStatistics statistics = BuildStatistics(counts, {"2024-05-01", "2024-05-03"});
    EXPECT_EQ(statistics.versions, (std::vector<std::string>{"1.2.0.0", "1.1.0.0", "unknown"}));
    ASSERT_EQ(statistics.days.size(), 3u);
    EXPECT_EQ(statistics.days[0].versions, (std::vector<std::int64_t>{2, 2, 1}));
    EXPECT_EQ(statistics.days[1].versions, (std::vector<std::int64_t>{0, 0, 0}));
    EXPECT_EQ(statistics.days[2].installations, 2);
    ASSERT_EQ(statistics.adoption.size(), 2u);
    EXPECT_EQ(statistics.adoption[0].version, "1.2.0.0");
    ASSERT_EQ(statistics.adoption[0].days.size(), 3u);
    EXPECT_EQ(statistics.adoption[0].days[0].clients, 4);
    EXPECT_EQ(statistics.adoption[0].days[0].updated, 2);
    EXPECT_EQ(statistics.adoption[0].days[2].updated, 3);
    // An offer made during the range starts on its day.
    ASSERT_EQ(statistics.adoption[1].days.size(), 2u);
    EXPECT_EQ(statistics.adoption[1].days[0].day, "2024-05-02");

    const std::string json = StatisticsJSON(statistics);
    EXPECT_NE(json.find(R"("url":"http://u.example/\"q\"\u000a")"), std::string::npos) << json;
    const std::string html = StatisticsHTML(statistics);
    EXPECT_EQ(html.find("<x>"), std::string::npos);
    EXPECT_EQ(html.find("u.example"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"versions\">1.2.0.0: 2, 1.1.0.0: 2, unknown: 1</td>"), std::string::npos);
}

} // namespace
