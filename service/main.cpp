// qvservice: runs the vendor's service until SIGINT or SIGTERM, prints the recorded reports or a
// token's parameters, or signs an update archive.
#include "QVService.h"
#include "QVSign.h"
#include "StringU.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <pthread.h>

namespace {

const char kUsage[] =
    "usage: qvservice --db FILE|postgresql://USER@HOST:PORT/DBNAME [--host 127.0.0.1] [--port N] [--port-file FILE]\n"
    "                 [--files DIR] [--offer-version V --offer-url URL] [--max-body BYTES]\n"
    "                 [--admin-token TOKEN | --admin-token-file FILE] [--threads N] [--read-timeout SECONDS]\n"
    "                 [--commit-delay-us N] [--max-batch N] [--sync full|normal] [--no-access-log]\n"
    "       qvservice --db FILE|URL --dump\n"
    "       qvservice --decode TOKEN\n"
    "       qvservice --sign KEY.pem FILE\n";

// A whole decimal number from aMin to aMax, or false.
bool ParseNumber(const std::string& aText, long long aMin, long long aMax, long long& aValue) {
    const std::optional<std::uint64_t> value = ParseDecimal(aText, static_cast<std::uint64_t>(aMax));
    if (!value || static_cast<long long>(*value) < aMin)
        return false;
    aValue = static_cast<long long>(*value);
    return true;
}

// The first line of aPath without its line break, or false when the file cannot be read.
bool ReadFirstLine(const std::string& aPath, std::string& aLine) {
    std::ifstream in(aPath);
    if (!in || !std::getline(in, aLine))
        return false;
    if (!aLine.empty() && aLine.back() == '\r')
        aLine.pop_back();
    return true;
}

void Dump(TReportStore& aStore) {
    std::cout << "id\ttime\toperation\taction\taccepted\treason\tcfg\tuid\tver\tcls\tsubid\trandomizer\tpeer\n";
    aStore.ForEach([](const TReport& r) {
        std::cout << r.id << '\t' << r.time << '\t' << r.operation << '\t' << r.action << '\t' << r.accepted << '\t'
                  << r.reason << '\t' << r.cfg << '\t' << r.uid << '\t' << r.ver << '\t' << r.cls << '\t' << r.subid
                  << '\t' << r.randomizer << '\t' << r.peer << '\n';
    });
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--sign") {
        if (argc != 4) {
            std::cerr << kUsage;
            return 2;
        }
        std::string error;
        if (!SignFile(argv[2], argv[3], error)) {
            std::cerr << "qvservice: " << error << "\n";
            return 1;
        }
        std::cout << "wrote " << SignatureFileName(argv[3]) << "\n";
        return 0;
    }
    TServiceOptions options;
    options.accessLog = true;
    std::string portFile, decode, tokenFile;
    bool dump = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "missing value for " << arg << "\n" << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](long long aMin, long long aMax) {
            const std::string text = value();
            long long n = 0;
            if (!ParseNumber(text, aMin, aMax, n)) {
                std::cerr << arg << " takes a number from " << aMin << " to " << aMax << ", not \"" << text << "\"\n";
                std::exit(2);
            }
            return n;
        };
        if (arg == "--db")
            options.database = value();
        else if (arg == "--host")
            options.host = value();
        else if (arg == "--port")
            options.port = std::atoi(value().c_str());
        else if (arg == "--port-file")
            portFile = value();
        else if (arg == "--files")
            options.filesDir = value();
        else if (arg == "--offer-version")
            options.offerVersion = value();
        else if (arg == "--offer-url")
            options.offerURL = value();
        else if (arg == "--max-body")
            options.maxBody = static_cast<size_t>(std::strtoull(value().c_str(), nullptr, 10));
        else if (arg == "--admin-token")
            options.adminToken = value();
        else if (arg == "--admin-token-file")
            tokenFile = value();
        else if (arg == "--threads")
            options.threads = static_cast<int>(number(1, 100000));
        else if (arg == "--read-timeout")
            options.readTimeout = static_cast<int>(number(1, 3600));
        else if (arg == "--commit-delay-us")
            options.commitDelayUs = static_cast<int>(number(0, 1000000));
        else if (arg == "--max-batch")
            options.maxBatch = static_cast<std::size_t>(number(1, kMaxBatch));
        else if (arg == "--sync") {
            const std::string mode = value();
            if (mode != "normal" && mode != "full") {
                std::cerr << "--sync takes normal or full, not \"" << mode << "\"\n";
                return 2;
            }
            options.fullSync = mode == "full";
        } else if (arg == "--no-access-log")
            options.accessLog = false;
        else if (arg == "--dump")
            dump = true;
        else if (arg == "--decode")
            decode = value();
        else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (!decode.empty()) {
        std::map<std::string, std::string> params;
        if (!DecodeToken(decode, params)) {
            std::cerr << "malformed or tampered token\n";
            return 1;
        }
        for (const auto& p : params)
            std::cout << p.first << '=' << p.second << '\n';
        return 0;
    }
    if (options.database.empty() || options.port < 0 || options.port > 65535) {
        std::cerr << kUsage;
        return 2;
    }
    if (options.offerVersion.empty() != options.offerURL.empty()) {
        std::cerr << "--offer-version and --offer-url go together\n" << kUsage;
        return 2;
    }
    if (!options.offerVersion.empty() && !ParseVersion(options.offerVersion)) {
        std::cerr << "--offer-version takes a dotted version of up to four numbers 0..65535, not \""
                  << options.offerVersion << "\"\n";
        return 2;
    }
    if (!tokenFile.empty() && !ReadFirstLine(tokenFile, options.adminToken)) {
        std::cerr << "cannot read the admin token from " << tokenFile << "\n";
        return 2;
    }
    if (!tokenFile.empty() && options.adminToken.empty()) {
        std::cerr << tokenFile << " holds no admin token\n";
        return 2;
    }
    // Signals are taken by sigwait below, never by the service's threads, which start with it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<TReportStore> dumpStore;
    std::unique_ptr<TQVService> service;
    try {
        if (dump)
            dumpStore = OpenStore(options.database, TStoreSettings{options.fullSync});
        else
            service = std::make_unique<TQVService>(options);
    } catch (const TStoreError& e) {
        // The database named by --db cannot be used: a start-up error like a wrong argument.
        std::cerr << "qvservice: " << e.what() << "\n";
        return 2;
    }
    try {
        if (dump) {
            Dump(*dumpStore);
            return 0;
        }
        if (!service->Start()) {
            std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
            return 1;
        }
        if (!portFile.empty()) {
            const std::string temp = portFile + ".tmp";
            std::ofstream(temp) << service->Port() << "\n";
            std::rename(temp.c_str(), portFile.c_str());
        }
        std::cout << "listening on " << options.host << ":" << service->Port() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        service->Stop();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qvservice: " << e.what() << "\n";
        return 1;
    }
}
