// Form bodies and query strings, the statistics range they carry, the escaping of the XML answer
// and the Authorization header. Input: a form text, NUL, an Authorization value, NUL, a version,
// NUL, a URL.
#include "FuzzSupport.h"

#include "QVForm.h"
#include "QVRequest.h"
#include "QVStats.h"

namespace {

// True when aText holds no markup character and every "&" starts one of XmlText's entities.
bool IsEscapedText(const std::string& aText) {
    static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;"};
    for (std::size_t i = 0; i < aText.size(); ++i) {
        const char c = aText[i];
        if (c == '<' || c == '>' || c == '"')
            return false;
        if (c != '&')
            continue;
        bool entity = false;
        for (const char* e : kEntities)
            entity = entity || aText.compare(i, std::char_traits<char>::length(e), e) == 0;
        if (!entity)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::vector<std::string> parts = SplitAtNul(aData, aSize, 4);
    const std::string& form = parts[0];

    const TFormFields fields = ParseForm(form);
    std::size_t ampersands = 0;
    for (char c : form)
        ampersands += c == '&' ? 1 : 0;
    FUZZ_CHECK(fields.size() <= ampersands + 1);
    for (const auto& field : fields) {
        FUZZ_CHECK(!field.first.empty());
        FUZZ_CHECK(FormCount(fields, field.first) >= 1);
    }
    if (!fields.empty())
        FUZZ_CHECK(FormValue(fields, fields[0].first) == fields[0].second);
    // Decoding never grows a text: every escape is at least as long as what it stands for.
    FUZZ_CHECK(UrlDecode(form).size() <= form.size());

    TStatsRange range;
    std::string error;
    if (ParseStatsRange(fields, "2026-12-10", range, error)) {
        const auto first = ParseDay(range.first), last = ParseDay(range.last);
        FUZZ_CHECK(first && last && *first <= *last && *last - *first < kMaxStatsDays);
        FUZZ_CHECK(DayText(*first) == range.first && DayText(*last) == range.last);
    } else {
        FUZZ_CHECK(!error.empty());
    }

    IsAuthorized(parts[1], "fuzz-admin");
    FUZZ_CHECK(!IsAuthorized(parts[1], ""));

    FUZZ_CHECK(IsEscapedText(XmlText(parts[2])));
    FUZZ_CHECK(IsEscapedText(XmlText(parts[3])));
    const std::string xml = UpdateInfoXML(parts[2], parts[3]);
    FUZZ_CHECK(xml.find("<UpdateInfo><Vers>") != std::string::npos);
    const std::string end = "</Vers></UpdateInfo>";
    FUZZ_CHECK(xml.compare(xml.size() - end.size(), end.size(), end) == 0);
    // Four quotes in the declaration, four around the two attributes: none comes from the texts.
    std::size_t quotes = 0;
    for (char c : xml)
        quotes += c == '"' ? 1 : 0;
    FUZZ_CHECK(quotes == (parts[3].empty() ? 4u : 8u));
    return 0;
}
