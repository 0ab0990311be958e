#include "QVOptions.h"

#include "QVVersion.h"
#include "StringU.h"

#include <cstdint>
#include <variant>

const char kServiceUsage[] =
    "usage: qvservice --db FILE|postgresql://USER@HOST:PORT/DBNAME [--host 127.0.0.1] [--port N] [--port-file FILE]\n"
    "                 [--files DIR] [--offer-version V --offer-url URL] [--max-body BYTES]\n"
    "                 [--admin-token TOKEN | --admin-token-file FILE] [--threads N] [--read-timeout SECONDS]\n"
    "                 [--commit-delay-us N] [--max-batch N] [--sync full|normal] [--no-access-log]\n"
    "       qvservice --db FILE|URL --dump\n"
    "       qvservice --decode TOKEN\n"
    "       qvservice --sign KEY.pem FILE\n";

namespace {

enum class TOptionKind {
    Text,   // takes the next argument as it is
    Number, // takes the next argument as a whole decimal number from min to max
    Switch, // sets the flag to its value and takes no argument
    Choice, // takes one of two words as the next argument and sets the flag to false or true
};

using TOptionTarget = std::variant<std::string*, int*, std::size_t*, bool*>;

struct TOption {
    const char* name;
    TOptionKind kind;
    TOptionTarget target;
    long long min = 0, max = 0;      // Number: the bounds
    bool value = true;               // Switch: what it sets
    const char* words[2] = {"", ""}; // Choice: the words for false and true
};

TOption Text(const char* aName, std::string* aTarget) {
    return {aName, TOptionKind::Text, aTarget};
}

template <typename T> TOption Number(const char* aName, T* aTarget, long long aMin, long long aMax) {
    return {aName, TOptionKind::Number, aTarget, aMin, aMax};
}

TOption Switch(const char* aName, bool* aTarget, bool aValue) {
    TOption option{aName, TOptionKind::Switch, aTarget};
    option.value = aValue;
    return option;
}

TOption Choice(const char* aName, bool* aTarget, const char* aFalseWord, const char* aTrueWord) {
    TOption option{aName, TOptionKind::Choice, aTarget};
    option.words[0] = aFalseWord;
    option.words[1] = aTrueWord;
    return option;
}

// Every option of the command line, once.
std::vector<TOption> OptionTable(TCommandLine& aLine) {
    TServiceOptions& o = aLine.options;
    return {
        Text("--db", &o.database),
        Text("--host", &o.host),
        Number("--port", &o.port, 0, 65535),
        Text("--port-file", &aLine.portFile),
        Text("--files", &o.filesDir),
        Text("--offer-version", &o.offerVersion),
        Text("--offer-url", &o.offerURL),
        Number("--max-body", &o.maxBody, 256, 16 << 20),
        Text("--admin-token", &o.adminToken),
        Text("--admin-token-file", &aLine.tokenFile),
        Number("--threads", &o.threads, 1, 100000),
        Number("--read-timeout", &o.readTimeout, 1, 3600),
        Number("--commit-delay-us", &o.commitDelayUs, 0, 1000000),
        Number("--max-batch", &o.maxBatch, 1, static_cast<long long>(kMaxBatch)),
        Choice("--sync", &o.fullSync, "normal", "full"),
        Switch("--no-access-log", &o.accessLog, false),
        Switch("--dump", &aLine.dump, true),
        Text("--decode", &aLine.decode),
    };
}

// Stores aValue, already within the option's bounds, in whatever type the target has.
void Assign(const TOptionTarget& aTarget, long long aValue) {
    if (auto* i = std::get_if<int*>(&aTarget))
        **i = static_cast<int>(aValue);
    else if (auto* n = std::get_if<std::size_t*>(&aTarget))
        **n = static_cast<std::size_t>(aValue);
}

// Reads one option's value into its target; false with the message in anError.
bool Apply(const TOption& anOption, const std::string& aValue, std::string& anError) {
    switch (anOption.kind) {
    case TOptionKind::Text:
        *std::get<std::string*>(anOption.target) = aValue;
        return true;
    case TOptionKind::Number: {
        const std::optional<std::uint64_t> n = ParseDecimal(aValue, static_cast<std::uint64_t>(anOption.max));
        if (!n || static_cast<long long>(*n) < anOption.min) {
            anError = std::string(anOption.name) + " takes a number from " + std::to_string(anOption.min) + " to " +
                      std::to_string(anOption.max) + ", not \"" + aValue + "\"\n";
            return false;
        }
        Assign(anOption.target, static_cast<long long>(*n));
        return true;
    }
    case TOptionKind::Choice:
        if (aValue != anOption.words[0] && aValue != anOption.words[1]) {
            anError = std::string(anOption.name) + " takes " + anOption.words[0] + " or " + anOption.words[1] +
                      ", not \"" + aValue + "\"\n";
            return false;
        }
        *std::get<bool*>(anOption.target) = aValue == anOption.words[1];
        return true;
    case TOptionKind::Switch:
        *std::get<bool*>(anOption.target) = anOption.value;
        return true;
    }
    return false;
}

} // namespace

bool ParseCommandLine(const std::vector<std::string>& anArgs, TCommandLine& aLine, std::string& anError) {
    aLine = TCommandLine();
    // The program logs every request unless told not to; the options' own default suits the tests.
    aLine.options.accessLog = true;
    const std::vector<TOption> table = OptionTable(aLine);
    for (std::size_t i = 0; i < anArgs.size(); ++i) {
        const std::string& arg = anArgs[i];
        const TOption* option = nullptr;
        for (const TOption& candidate : table)
            if (arg == candidate.name)
                option = &candidate;
        if (!option) {
            anError = kServiceUsage;
            return false;
        }
        std::string value;
        if (option->kind != TOptionKind::Switch) {
            if (i + 1 >= anArgs.size()) {
                anError = "missing value for " + arg + "\n" + kServiceUsage;
                return false;
            }
            value = anArgs[++i];
        }
        if (!Apply(*option, value, anError))
            return false;
    }
    const TServiceOptions& o = aLine.options;
    if (!aLine.decode.empty())
        return true;
    if (o.database.empty()) {
        anError = kServiceUsage;
        return false;
    }
    if (o.offerVersion.empty() != o.offerURL.empty()) {
        anError = std::string("--offer-version and --offer-url go together\n") + kServiceUsage;
        return false;
    }
    if (!o.offerVersion.empty() && !ParseVersion(o.offerVersion)) {
        anError =
            "--offer-version takes a dotted version of up to four numbers 0..65535, not \"" + o.offerVersion + "\"\n";
        return false;
    }
    return true;
}
