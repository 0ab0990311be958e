// qvservice: runs the vendor's service until SIGINT or SIGTERM, prints the recorded reports or a
// token's parameters, or signs an update archive.
#include "QVService.h"
#include "QVSign.h"
#include "QVStoreFactory.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

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
            std::cerr << kServiceUsage;
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
    TCommandLine line;
    std::string error;
    if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
        std::cerr << error;
        return 2;
    }
    TServiceOptions& options = line.options;
    const std::string& tokenFile = line.tokenFile;
    if (!line.decode.empty()) {
        std::map<std::string, std::string> params;
        if (!DecodeToken(line.decode, params)) {
            std::cerr << "malformed or tampered token\n";
            return 1;
        }
        for (const auto& p : params)
            std::cout << p.first << '=' << p.second << '\n';
        return 0;
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
        if (line.dump)
            dumpStore = OpenStore(options.database, TStoreSettings{options.fullSync});
        else
            service = std::make_unique<TQVService>(options);
    } catch (const TStoreError& e) {
        // The database named by --db cannot be used: a start-up error like a wrong argument.
        std::cerr << "qvservice: " << e.what() << "\n";
        return 2;
    }
    try {
        if (line.dump) {
            Dump(*dumpStore);
            return 0;
        }
        if (!service->Start()) {
            std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
            return 1;
        }
        if (!line.portFile.empty()) {
            const std::string temp = line.portFile + ".tmp";
            std::ofstream(temp) << service->Port() << "\n";
            std::rename(temp.c_str(), line.portFile.c_str());
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
