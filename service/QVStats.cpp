#include "QVStats.h"

#include "QVVersion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

bool IsDigits(const std::string& aText, std::size_t aPos, std::size_t aCount) {
    for (std::size_t i = aPos; i < aPos + aCount; ++i)
        if (aText[i] < '0' || aText[i] > '9')
            return false;
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::string Number(double aValue) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f", aValue);
    return buf;
}

std::string Percent(std::int64_t aPart, std::int64_t aWhole) {
    return aWhole > 0 ? Number(100.0 * static_cast<double>(aPart) / static_cast<double>(aWhole)) + "%" : "";
}

// The smallest of 1, 2 and 5 times a power of ten that is at least aValue.
double NiceStep(double aValue) {
    double magnitude = 1;
    while (magnitude * 10 <= aValue)
        magnitude *= 10;
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= aValue)
            return m * magnitude;
    return 10 * magnitude;
}

const char* const kPalette[] = {"#1565c0", "#ef6c00", "#6a1b9a", "#00838f", "#ad1457", "#558b2f", "#4e342e", "#37474f"};
const char kUnknownColour[] = "#9e9e9e";

std::string PaletteColour(std::size_t anIndex) {
    return kPalette[anIndex % (sizeof(kPalette) / sizeof(kPalette[0]))];
}

struct TSeries {
    std::string key;  // the data-series attribute
    std::string name; // shown in the legend and the tooltips
    std::string colour;
    std::vector<double> values; // one per day
};

constexpr double kWidth = 960, kHeight = 300, kLeft = 56, kRight = 16, kTop = 40, kBottom = 44;
constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;

class TChart {
public:
    TChart(std::string anId, std::string aTitle, const std::vector<std::string>& aDays, double aTop, double aStep,
           bool aPercent)
        : FDays(aDays), FTop(aTop), FPercent(aPercent) {
        FSvg = "<svg id=\"" + anId + "\" class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
               Number(kWidth) + "\" height=\"" + Number(kHeight) + "\" viewBox=\"0 0 " + Number(kWidth) + " " +
               Number(kHeight) + "\" role=\"img\"><title>" + XmlText(aTitle) + "</title>";
        for (double tick = 0; tick <= aTop + aStep / 2; tick += aStep) {
            const double y = Y(tick);
            FSvg += "<line class=\"grid\" x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y) + "\" x2=\"" +
                    Number(kWidth - kRight) + "\" y2=\"" + Number(y) + "\" stroke=\"#e0e0e0\"/>";
            char label[32];
            std::snprintf(label, sizeof(label), aPercent ? "%.0f%%" : "%.0f", tick);
            FSvg += "<text class=\"tick\" x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + 4) +
                    "\" text-anchor=\"end\">" + label + "</text>";
        }
        const std::size_t every = std::max<std::size_t>(1, (aDays.size() + 11) / 12);
        for (std::size_t i = 0; i < aDays.size(); i += every)
            FSvg += "<text class=\"day\" x=\"" + Number(Center(i)) + "\" y=\"" + Number(kHeight - kBottom + 18) +
                    "\" text-anchor=\"middle\">" + XmlText(aDays[i].substr(5)) + "</text>";
        FSvg += "<line class=\"axis\" x1=\"" + Number(kLeft) + "\" y1=\"" + Number(Y(0)) + "\" x2=\"" +
                Number(kWidth - kRight) + "\" y2=\"" + Number(Y(0)) + "\" stroke=\"#616161\"/>";
    }

    // Bars side by side within each day, or stacked on each other.
    void Bars(const std::vector<TSeries>& aSeries, bool aStacked) {
        const double band = Band(), group = band * 0.8;
        const double width = aStacked ? group : group / static_cast<double>(std::max<std::size_t>(aSeries.size(), 1));
        for (std::size_t i = 0; i < FDays.size(); ++i) {
            double base = 0;
            for (std::size_t s = 0; s < aSeries.size(); ++s) {
                const double value = aSeries[s].values[i];
                if (value <= 0)
                    continue;
                const double x = kLeft + static_cast<double>(i) * band + band * 0.1 +
                                 (aStacked ? 0 : static_cast<double>(s) * width);
                const double top = Y(base + value), bottom = Y(base);
                FSvg += "<rect class=\"bar\" data-series=\"" + XmlText(aSeries[s].key) + "\" data-day=\"" +
                        XmlText(FDays[i]) + "\" data-value=\"" + Value(value) + "\" x=\"" + Number(x) + "\" y=\"" +
                        Number(top) + "\" width=\"" + Number(width) + "\" height=\"" + Number(bottom - top) +
                        "\" fill=\"" + aSeries[s].colour + "\"><title>" + XmlText(FDays[i]) + ": " +
                        XmlText(aSeries[s].name) + " " + Value(value) + "</title></rect>";
                if (aStacked)
                    base += value;
            }
        }
        Legend(aSeries);
    }

    // One line per series through the days that have a value (negative: none).
    void Lines(const std::vector<TSeries>& aSeries) {
        for (const TSeries& series : aSeries) {
            std::string points, marks;
            for (std::size_t i = 0; i < FDays.size(); ++i) {
                const double value = series.values[i];
                if (value < 0)
                    continue;
                const std::string x = Number(Center(i)), y = Number(Y(value));
                points += (points.empty() ? "" : " ") + x + "," + y;
                marks += "<circle class=\"point\" data-series=\"" + XmlText(series.key) + "\" data-day=\"" +
                         XmlText(FDays[i]) + "\" data-value=\"" + Value(value) + "\" cx=\"" + x + "\" cy=\"" + y +
                         "\" r=\"3.5\" fill=\"" + series.colour + "\"><title>" + XmlText(FDays[i]) + ": " +
                         XmlText(series.name) + " " + Value(value) + "</title></circle>";
            }
            if (!points.empty())
                FSvg += "<polyline class=\"line\" data-series=\"" + XmlText(series.key) + "\" points=\"" + points +
                        "\" fill=\"none\" stroke=\"" + series.colour + "\" stroke-width=\"2\"/>" + marks;
        }
        Legend(aSeries);
    }

    std::string Svg() const { return FSvg + "</svg>"; }

private:
    double Band() const { return kPlotWidth / static_cast<double>(std::max<std::size_t>(FDays.size(), 1)); }
    double Center(std::size_t i) const { return kLeft + (static_cast<double>(i) + 0.5) * Band(); }
    double Y(double aValue) const { return kTop + kPlotHeight - aValue / FTop * kPlotHeight; }
    std::string Value(double aValue) const {
        char buf[32];
        std::snprintf(buf, sizeof(buf), FPercent ? "%.1f" : "%.0f", aValue);
        return buf;
    }
    void Legend(const std::vector<TSeries>& aSeries) {
        double x = kLeft;
        for (const TSeries& series : aSeries) {
            FSvg += "<rect class=\"key\" x=\"" + Number(x) + "\" y=\"12\" width=\"12\" height=\"12\" fill=\"" +
                    series.colour + "\"/><text class=\"key\" x=\"" + Number(x + 16) + "\" y=\"22\">" +
                    XmlText(series.name) + "</text>";
            x += 28 + 7.5 * static_cast<double>(series.name.size());
        }
    }

    const std::vector<std::string>& FDays;
    double FTop;
    bool FPercent;
    std::string FSvg;
};

// The top of a count axis and its step: four or five steps of 1, 2 or 5 times a power of ten.
void CountAxis(double aMax, double& aTop, double& aStep) {
    aStep = NiceStep(std::max(aMax, 1.0) / 4);
    aTop = std::max(aStep, std::ceil(aMax / aStep) * aStep);
}

std::string Cell(const char* aClass, std::int64_t aValue) {
    return std::string("<td class=\"") + aClass + "\">" + std::to_string(aValue) + "</td>";
}

} // namespace

std::string XmlText(const std::string& aText) {
    std::string out;
    for (char c : aText) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string JsonText(const std::string& aText) {
    std::string out = "\"";
    for (unsigned char c : aText) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::optional<std::int64_t> ParseDay(const std::string& aText) {
    if (aText.size() != 10 || aText[4] != '-' || aText[7] != '-' || !IsDigits(aText, 0, 4) || !IsDigits(aText, 5, 2) ||
        !IsDigits(aText, 8, 2))
        return std::nullopt;
    const int year = std::stoi(aText.substr(0, 4));
    const unsigned month = static_cast<unsigned>(std::stoi(aText.substr(5, 2)));
    const unsigned day = static_cast<unsigned>(std::stoi(aText.substr(8, 2)));
    static const unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kMonthDays[month - 1] + (month == 2 && leap ? 1u : 0u))
        return std::nullopt;
    return DaysFromCivil(year, month, day);
}

std::string DayText(std::int64_t aDayNumber) {
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(aDayNumber, y, m, d);
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

bool ParseStatsRange(const TFormFields& aFields, const std::string& aToday, TStatsRange& aRange, std::string& anError) {
    if (FormCount(aFields, "from") > 1 || FormCount(aFields, "to") > 1) {
        anError = "from and to may each be given once";
        return false;
    }
    const auto today = ParseDay(aToday);
    const auto last = FormCount(aFields, "to") ? ParseDay(FormValue(aFields, "to")) : today;
    if (!last) {
        anError = "to must be a date YYYY-MM-DD";
        return false;
    }
    // The default start stays on a day ParseDay reads (day 0 is 1970-01-01), so the page's own
    // links ask for a range the service accepts.
    const auto first = FormCount(aFields, "from")
                           ? ParseDay(FormValue(aFields, "from"))
                           : std::optional(std::max<std::int64_t>(0, *last - kDefaultStatsDays + 1));
    if (!first) {
        anError = "from must be a date YYYY-MM-DD";
        return false;
    }
    if (*first > *last) {
        anError = "from must not be after to";
        return false;
    }
    if (*last - *first + 1 > kMaxStatsDays) {
        anError = "the range spans at most " + std::to_string(kMaxStatsDays) + " days";
        return false;
    }
    aRange = {DayText(*first), DayText(*last)};
    return true;
}

std::string FieldVersion(const std::string& aVer) {
    const auto version = ClientVersion(aVer);
    return version ? VersionText(*version) : "unknown";
}

TStatistics BuildStatistics(const TStoreStatistics& aCounts, const TStatsRange& aRange) {
    TStatistics statistics;
    statistics.range = aRange;

    // The versions in the field, newest first; several VER texts may name one version.
    std::map<TVersion, std::size_t> known;
    bool unknown = false;
    for (const TDayCounts& day : aCounts.days)
        for (const auto& ver : day.versions) {
            if (const auto version = ClientVersion(ver.first))
                known.emplace(*version, 0);
            else
                unknown = true;
        }
    std::vector<TVersion> ordered;
    for (auto it = known.rbegin(); it != known.rend(); ++it) {
        it->second = statistics.versions.size();
        statistics.versions.push_back(VersionText(it->first));
        ordered.push_back(it->first);
    }
    const std::size_t unknownIndex = statistics.versions.size();
    if (unknown)
        statistics.versions.push_back("unknown");

    std::map<std::string, const TDayCounts*> byDay;
    for (const TDayCounts& day : aCounts.days)
        byDay[day.day] = &day;
    const std::int64_t first = *ParseDay(aRange.first), last = *ParseDay(aRange.last);
    for (std::int64_t n = first; n <= last; ++n) {
        TStatsDay day;
        day.day = DayText(n);
        day.versions.assign(statistics.versions.size(), 0);
        const auto found = byDay.find(day.day);
        if (found != byDay.end()) {
            const TDayCounts& counts = *found->second;
            day.installations = counts.installations;
            day.removals = counts.removals;
            day.hits = counts.hits;
            day.active = counts.active;
            day.rejected = counts.rejected;
            for (const auto& ver : counts.versions) {
                const auto version = ClientVersion(ver.first);
                day.versions[version ? known[*version] : unknownIndex] += ver.second;
            }
        }
        statistics.days.push_back(std::move(day));
    }

    for (const TOffer& offer : aCounts.offers) {
        const auto offered = ParseVersion(offer.version);
        const std::string since = offer.since.substr(0, 10);
        if (!offered || since > aRange.last)
            continue;
        TAdoption adoption{VersionText(*offered), offer.url, offer.since, {}};
        for (const TStatsDay& day : statistics.days) {
            if (day.day < since)
                continue;
            TAdoptionDay figures{day.day, 0, 0};
            for (std::size_t v = 0; v < ordered.size(); ++v) {
                figures.clients += day.versions[v];
                if (ordered[v] >= *offered)
                    figures.updated += day.versions[v];
            }
            adoption.days.push_back(figures);
        }
        statistics.adoption.push_back(std::move(adoption));
    }
    return statistics;
}

std::string StatisticsJSON(const TStatistics& aStatistics) {
    std::string json = "{\"from\":" + JsonText(aStatistics.range.first) +
                       ",\"to\":" + JsonText(aStatistics.range.last) + ",\"versions\":[";
    for (std::size_t v = 0; v < aStatistics.versions.size(); ++v)
        json += (v ? "," : "") + JsonText(aStatistics.versions[v]);
    json += "],\"days\":[";
    for (std::size_t i = 0; i < aStatistics.days.size(); ++i) {
        const TStatsDay& day = aStatistics.days[i];
        json += std::string(i ? "," : "") + "{\"day\":" + JsonText(day.day) +
                ",\"installations\":" + std::to_string(day.installations) +
                ",\"removals\":" + std::to_string(day.removals) + ",\"hits\":" + std::to_string(day.hits) +
                ",\"active\":" + std::to_string(day.active) + ",\"rejected\":" + std::to_string(day.rejected) +
                ",\"versions\":{";
        bool firstVersion = true;
        for (std::size_t v = 0; v < day.versions.size(); ++v) {
            if (day.versions[v] == 0)
                continue;
            json +=
                (firstVersion ? "" : ",") + JsonText(aStatistics.versions[v]) + ":" + std::to_string(day.versions[v]);
            firstVersion = false;
        }
        json += "}}";
    }
    json += "],\"adoption\":[";
    for (std::size_t a = 0; a < aStatistics.adoption.size(); ++a) {
        const TAdoption& adoption = aStatistics.adoption[a];
        json += std::string(a ? "," : "") + "{\"version\":" + JsonText(adoption.version) +
                ",\"url\":" + JsonText(adoption.url) + ",\"since\":" + JsonText(adoption.since) + ",\"days\":[";
        for (std::size_t i = 0; i < adoption.days.size(); ++i)
            json += std::string(i ? "," : "") + "{\"day\":" + JsonText(adoption.days[i].day) +
                    ",\"clients\":" + std::to_string(adoption.days[i].clients) +
                    ",\"updated\":" + std::to_string(adoption.days[i].updated) + "}";
        json += "]}";
    }
    return json + "]}\n";
}

std::string StatisticsHTML(const TStatistics& aStatistics) {
    const std::vector<TStatsDay>& days = aStatistics.days;
    std::vector<std::string> dayTexts;
    std::int64_t installations = 0, removals = 0, hits = 0, rejected = 0;
    double maxChange = 0, maxActive = 0, maxStack = 0;
    for (const TStatsDay& day : days) {
        dayTexts.push_back(day.day);
        installations += day.installations;
        removals += day.removals;
        hits += day.hits;
        rejected += day.rejected;
        maxChange = std::max({maxChange, static_cast<double>(day.installations), static_cast<double>(day.removals)});
        maxActive = std::max(maxActive, static_cast<double>(day.active));
        std::int64_t stack = 0;
        for (const std::int64_t n : day.versions)
            stack += n;
        maxStack = std::max(maxStack, static_cast<double>(stack));
    }
    const std::string range = XmlText(aStatistics.range.first) + " to " + XmlText(aStatistics.range.last);
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>Quenvar service statistics</title><style>"
                       "body{font-family:sans-serif;margin:24px;color:#212121}"
                       "h1{font-size:22px}h2{font-size:17px;margin:28px 0 6px}"
                       "svg.chart{display:block;background:#fafafa;border:1px solid #e0e0e0}"
                       "svg text{font-size:12px;fill:#424242}"
                       "table{border-collapse:collapse;margin-top:8px}"
                       "td,th{border:1px solid #e0e0e0;padding:3px 8px;text-align:right;font-size:13px}"
                       "td.versions,th.versions{text-align:left}"
                       "p.note{color:#757575}"
                       "</style></head><body>"
                       "<h1>Quenvar service statistics</h1>"
                       "<form method=\"get\" action=\"/stats\">From <input type=\"date\" name=\"from\" value=\"" +
                       XmlText(aStatistics.range.first) + "\"> to <input type=\"date\" name=\"to\" value=\"" +
                       XmlText(aStatistics.range.last) +
                       "\"> <button type=\"submit\">Show</button> "
                       "<a href=\"/stats.json?from=" +
                       XmlText(aStatistics.range.first) + "&amp;to=" + XmlText(aStatistics.range.last) +
                       "\">JSON</a></form>"
                       "<p id=\"summary\">" +
                       range + " (UTC): <span id=\"total-installations\">" + std::to_string(installations) +
                       "</span> installations, <span id=\"total-removals\">" + std::to_string(removals) +
                       "</span> removals, <span id=\"total-hits\">" + std::to_string(hits) +
                       "</span> hits, <span id=\"total-rejected\">" + std::to_string(rejected) +
                       "</span> rejected requests.</p>";

    double top = 0, step = 0;
    CountAxis(maxChange, top, step);
    {
        TChart chart("chart-installs", "Installations and removals per day", dayTexts, top, step, false);
        TSeries in{"installations", "installations", "#2e7d32", {}}, out{"removals", "removals", "#c62828", {}};
        for (const TStatsDay& day : days) {
            in.values.push_back(static_cast<double>(day.installations));
            out.values.push_back(static_cast<double>(day.removals));
        }
        chart.Bars({in, out}, false);
        html += "<h2>Installations and removals</h2>" + chart.Svg();
    }
    CountAxis(maxActive, top, step);
    {
        TChart chart("chart-active", "Active clients per day", dayTexts, top, step, false);
        TSeries active{"active", "clients with a hit", "#1565c0", {}};
        for (const TStatsDay& day : days)
            active.values.push_back(static_cast<double>(day.active));
        chart.Bars({active}, false);
        html += "<h2>Active clients (distinct clients with a hit)</h2>" + chart.Svg();
    }
    CountAxis(maxStack, top, step);
    {
        TChart chart("chart-versions", "Versions in the field per day", dayTexts, top, step, false);
        std::vector<TSeries> series;
        for (std::size_t v = 0; v < aStatistics.versions.size(); ++v) {
            const std::string& name = aStatistics.versions[v];
            TSeries s{name, name, name == "unknown" ? kUnknownColour : PaletteColour(v), {}};
            for (const TStatsDay& day : days)
                s.values.push_back(static_cast<double>(day.versions[v]));
            series.push_back(std::move(s));
        }
        chart.Bars(series, true);
        html += "<h2>Versions in the field (clients per version)</h2>" + chart.Svg();
    }
    html += "<h2>Update adoption after an offer</h2>";
    if (aStatistics.adoption.empty()) {
        html += "<p class=\"note\">No update was offered before the end of this range.</p>";
    } else {
        TChart chart("chart-adoption", "Share of clients at the offered version or newer", dayTexts, 100, 25, true);
        std::vector<TSeries> series;
        for (std::size_t a = 0; a < aStatistics.adoption.size(); ++a) {
            const TAdoption& adoption = aStatistics.adoption[a];
            TSeries s{adoption.version, adoption.version + " (offered " + adoption.since.substr(0, 10) + ")",
                      PaletteColour(a), std::vector<double>(days.size(), -1)};
            for (const TAdoptionDay& figures : adoption.days) {
                if (figures.clients == 0)
                    continue;
                const auto at = static_cast<std::size_t>(*ParseDay(figures.day) - *ParseDay(aStatistics.range.first));
                s.values[at] = 100.0 * static_cast<double>(figures.updated) / static_cast<double>(figures.clients);
            }
            series.push_back(std::move(s));
        }
        chart.Lines(series);
        html += chart.Svg() + "<table id=\"adoption\"><thead><tr><th>Version</th><th>Offered since</th>"
                              "<th>Latest day with hits</th><th>Clients at it or newer</th><th>Share</th></tr>"
                              "</thead><tbody>";
        for (const TAdoption& adoption : aStatistics.adoption) {
            TAdoptionDay latest;
            for (const TAdoptionDay& figures : adoption.days)
                if (figures.clients > 0)
                    latest = figures;
            html += "<tr data-version=\"" + XmlText(adoption.version) + "\"><td>" + XmlText(adoption.version) +
                    "</td><td>" + XmlText(adoption.since) + "</td><td class=\"day\">" + XmlText(latest.day) +
                    "</td><td class=\"updated\">" + std::to_string(latest.updated) + " of " +
                    std::to_string(latest.clients) + "</td><td class=\"share\">" +
                    Percent(latest.updated, latest.clients) + "</td></tr>";
        }
        html += "</tbody></table>";
    }

    html += "<h2>Per day</h2><table id=\"days\"><thead><tr><th>Day</th><th>Installations</th><th>Removals</th>"
            "<th>Hits</th><th>Active clients</th><th>Rejected</th><th class=\"versions\">Versions</th></tr></thead>"
            "<tbody>";
    for (auto it = days.rbegin(); it != days.rend(); ++it) {
        std::string versions;
        for (std::size_t v = 0; v < it->versions.size(); ++v)
            if (it->versions[v] > 0)
                versions += (versions.empty() ? "" : ", ") + XmlText(aStatistics.versions[v]) + ": " +
                            std::to_string(it->versions[v]);
        html += "<tr data-day=\"" + XmlText(it->day) + "\"><td>" + XmlText(it->day) + "</td>" +
                Cell("installations", it->installations) + Cell("removals", it->removals) + Cell("hits", it->hits) +
                Cell("active", it->active) + Cell("rejected", it->rejected) + "<td class=\"versions\">" + versions +
                "</td></tr>";
    }
    return html + "</tbody></table></body></html>\n";
}
