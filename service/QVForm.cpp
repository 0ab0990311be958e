#include "QVForm.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of aCount hex digits at aText[aPos], or -1 when they are not all there.
long HexAt(const std::string& aText, std::size_t aPos, std::size_t aCount) {
    if (aPos + aCount > aText.size())
        return -1;
    long value = 0;
    for (std::size_t i = 0; i < aCount; ++i) {
        const int digit = HexValue(aText[aPos + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

void AppendUtf8(std::string& anOut, unsigned long aCode) {
    if (aCode < 0x80) {
        anOut += static_cast<char>(aCode);
    } else if (aCode < 0x800) {
        anOut += static_cast<char>(0xC0 | (aCode >> 6));
        anOut += static_cast<char>(0x80 | (aCode & 0x3F));
    } else {
        anOut += static_cast<char>(0xE0 | (aCode >> 12));
        anOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
        anOut += static_cast<char>(0x80 | (aCode & 0x3F));
    }
}

std::string Trimmed(const std::string& aText) {
    std::size_t begin = 0, end = aText.size();
    while (begin < end && (aText[begin] == ' ' || aText[begin] == '\t'))
        ++begin;
    while (end > begin && (aText[end - 1] == ' ' || aText[end - 1] == '\t'))
        --end;
    return aText.substr(begin, end - begin);
}

} // namespace

std::string UrlDecode(const std::string& aText) {
    std::string out;
    out.reserve(aText.size());
    for (std::size_t i = 0; i < aText.size(); ++i) {
        const char c = aText[i];
        if (c == '+') {
            out += ' ';
            continue;
        }
        if (c == '%') {
            if (i + 1 < aText.size() && aText[i + 1] == 'u') {
                const long code = HexAt(aText, i + 2, 4);
                if (code >= 0) {
                    AppendUtf8(out, static_cast<unsigned long>(code));
                    i += 5;
                    continue;
                }
            } else {
                const long code = HexAt(aText, i + 1, 2);
                if (code >= 0) {
                    out += static_cast<char>(code);
                    i += 2;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

TFormFields ParseForm(const std::string& aText) {
    TFormFields fields;
    std::size_t start = 0;
    while (start <= aText.size()) {
        std::size_t end = aText.find('&', start);
        if (end == std::string::npos)
            end = aText.size();
        const std::string field = aText.substr(start, end - start);
        const std::size_t equals = field.find('=');
        std::string name = Trimmed(field.substr(0, equals));
        if (!name.empty())
            fields.emplace_back(UrlDecode(name), equals == std::string::npos
                                                     ? std::string()
                                                     : UrlDecode(Trimmed(field.substr(equals + 1))));
        start = end + 1;
    }
    return fields;
}

std::string FormValue(const TFormFields& aFields, const std::string& aName) {
    for (const auto& field : aFields)
        if (field.first == aName)
            return field.second;
    return {};
}

std::size_t FormCount(const TFormFields& aFields, const std::string& aName) {
    std::size_t n = 0;
    for (const auto& field : aFields)
        n += field.first == aName ? 1 : 0;
    return n;
}
