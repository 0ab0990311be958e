// qvservice-bench: the data scripts/bench-service.sh loads the service with.
//   qvservice-bench tokens N            N hit tokens of N clients, one per line, as the client makes them
//   qvservice-bench fill DATABASE N DAYS N reports over the DAYS days up to today, through the store
//   qvservice-bench count DATABASE      the number of stored reports
#include "CryptU.h"
#include "QVStats.h"
#include "QVStore.h"
#include "QVStoreFactory.h"
#include "ServiceVocabU.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace {

std::wstring Wide(const std::string& aText) {
    return std::wstring(aText.begin(), aText.end());
}

// A client identity like the ones the client stores: a GUID in braces.
std::string ClientUid(std::uint64_t aClient) {
    char buf[48];
    std::snprintf(buf, sizeof(buf), "{%08llX-51B0-4C1E-9A3D-%012llX}", static_cast<unsigned long long>(aClient),
                  static_cast<unsigned long long>(aClient * 2654435761u % 0xFFFFFFFFFFFFull));
    return buf;
}

int Tokens(long aCount) {
    for (long i = 0; i < aCount; ++i) {
        TCryptURL crypt(true);
        crypt.SetParameters(kTokenCFG.Wide, L"10");
        crypt.SetParameters(kTokenUID.Wide, Wide(ClientUid(static_cast<std::uint64_t>(i))));
        crypt.SetParameters(kTokenVER.Wide, i % 4 ? L"QUENVAR=1.0.0.1" : L"QUENVAR=1.0.0.2");
        crypt.SetParameters(kTokenCLS.Wide, L"");
        crypt.SetParameters(kTokenSUBID.Wide, L"0");
        const std::wstring token = crypt.Encrypt();
        std::cout << std::string(token.begin(), token.end()) << '\n';
    }
    return 0;
}

// Reports of a steady population: 90 % hits, 5 % installations, 3 % removals, 2 % rejected. From
// the middle of the period on 1.0.0.2 is offered and taken by a growing share of the clients.
int Fill(const std::string& aDatabase, long aCount, int aDays) {
    const auto store = OpenStore(aDatabase);
    const std::int64_t today = *ParseDay(UtcNow().substr(0, 10));
    const std::int64_t firstDay = today - aDays + 1;
    const long perDay = aCount / aDays;
    const auto clients = static_cast<std::uint64_t>(std::max(1L, perDay * 9 / 10));
    std::mt19937_64 random(17);
    std::vector<TReport> batch;
    long made = 0;
    for (int d = 0; d < aDays; ++d) {
        const std::string day = DayText(firstDay + d);
        const double adopted = d < aDays / 2 ? 0.0 : std::min(1.0, 0.15 * (d - aDays / 2 + 1));
        const long dayCount = d == aDays - 1 ? aCount - made : perDay;
        for (long k = 0; k < dayCount; ++k, ++made) {
            TReport r;
            const unsigned second = static_cast<unsigned>(random() % 86400);
            char time[32];
            std::snprintf(time, sizeof(time), "%sT%02u:%02u:%02uZ", day.c_str(), second / 3600, second / 60 % 60,
                          second % 60);
            r.time = time;
            const std::uint64_t client = random() % clients;
            const unsigned kind = static_cast<unsigned>(random() % 100);
            r.uid = ClientUid(client);
            r.cfg = "10";
            r.subid = "0";
            r.randomizer = std::to_string(random() % 4000000000u);
            r.peer = "198.51.100." + std::to_string(client % 250 + 1);
            r.accepted = kind >= 2;
            r.reason = r.accepted ? "" : "malformed or tampered token";
            const TServiceAction action = kind < 90 ? saHit : kind < 95 ? saInstall : saUninstall;
            r.action = action;
            r.operation = ServiceOperation(action).Text;
            if (action == saHit)
                r.ver = static_cast<double>(client) < adopted * static_cast<double>(clients) ? "QUENVAR=1.0.0.2"
                                                                                             : "QUENVAR=1.0.0.1";
            batch.push_back(std::move(r));
            if (batch.size() == 2000) {
                store->Add(batch);
                batch.clear();
            }
        }
        if (d == aDays / 2)
            store->AddOffer({"1.0.0.2", "http://updates.example/Quenvar-1.0.0.2.cab", day + "T06:00:00Z"});
    }
    store->Add(batch);
    return 0;
}

int Count(const std::string& aDatabase) {
    long n = 0;
    OpenStore(aDatabase)->ForEach([&n](const TReport&) { ++n; });
    std::cout << n << '\n';
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    try {
        if (verb == "tokens" && argc == 3)
            return Tokens(std::atol(argv[2]));
        if (verb == "fill" && argc == 5)
            return Fill(argv[2], std::atol(argv[3]), std::max(1, std::atoi(argv[4])));
        if (verb == "count" && argc == 3)
            return Count(argv[2]);
    } catch (const std::exception& e) {
        std::cerr << "qvservice-bench: " << e.what() << "\n";
        return 1;
    }
    std::cerr << "usage: qvservice-bench tokens N | fill DATABASE N DAYS | count DATABASE\n";
    return 2;
}
