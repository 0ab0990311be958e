// qvservice: runs the vendor's service until SIGINT or SIGTERM, prints the recorded reports or a
// token's parameters, or signs an update archive.
#include "QVService.h"
#include "QVSign.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <pthread.h>

namespace {

const char kUsage[] = "usage: qvservice --db FILE [--host 127.0.0.1] [--port N] [--port-file FILE] [--files DIR]\n"
                      "                 [--offer-version V --offer-url URL] [--max-body BYTES]\n"
                      "       qvservice --db FILE --dump\n"
                      "       qvservice --decode TOKEN\n"
                      "       qvservice --sign KEY.pem FILE\n";

void Dump(TReportStore& aStore) {
    std::cout << "id\ttime\toperation\taction\taccepted\treason\tcfg\tuid\tver\tcls\tsubid\trandomizer\tpeer\n";
    for (const TReport& r : aStore.All())
        std::cout << r.id << '\t' << r.time << '\t' << r.operation << '\t' << r.action << '\t' << r.accepted << '\t'
                  << r.reason << '\t' << r.cfg << '\t' << r.uid << '\t' << r.ver << '\t' << r.cls << '\t' << r.subid
                  << '\t' << r.randomizer << '\t' << r.peer << '\n';
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
    std::string portFile, decode;
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
    try {
        if (dump) {
            TReportStore store(options.database);
            Dump(store);
            return 0;
        }
        // Signals are taken by sigwait below, never by the server's threads.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        TQVService service(options);
        if (!service.Start()) {
            std::cerr << "cannot listen on " << options.host << ":" << options.port << "\n";
            return 1;
        }
        if (!portFile.empty()) {
            const std::string temp = portFile + ".tmp";
            std::ofstream(temp) << service.Port() << "\n";
            std::rename(temp.c_str(), portFile.c_str());
        }
        std::cout << "listening on " << options.host << ":" << service.Port() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        service.Stop();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qvservice: " << e.what() << "\n";
        return 1;
    }
}
