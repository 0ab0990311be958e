// The service's answer to any request, through TRequestHandler::Handle as the HTTP layer calls it,
// over a real SQLite store in memory. The input is a request in HTTP's own layout:
//   METHOD SP TARGET LF (NAME ":" VALUE LF)* LF BODY
// where TARGET is the path, then "?" and the query. Reports, tokens, versions, the XML answer and
// the statistics pages are all reached from here.
#include "FuzzSupport.h"

#include "QVGroupCommit.h"
#include "QVRequest.h"
#include "QVStore.h"
#include "QVStoreFactory.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

const char kOfferVersion[] = "1.0.0.2";
const char kOfferURL[] = "http://127.0.0.1/files/Quenvar-1.0.0.2.cab";
const char kAdminToken[] = "fuzz-admin";

// The store is replaced now and then, so memory stays bounded however long the run.
constexpr unsigned kRequestsPerStore = 2000;

struct TService {
    std::unique_ptr<TReportStore> store;
    std::unique_ptr<TDirectRecorder> recorder;
    std::unique_ptr<TRequestHandler> handler;
};

std::string FilesDir() {
    static const std::string dir = [] {
        char name[] = "/tmp/qv-fuzz-files.XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        const std::string path = std::string(name) + "/Quenvar-1.0.0.2.cab";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fputs("MSCF", f);
            std::fclose(f);
        }
        return std::string(name);
    }();
    return dir;
}

TService& Service() {
    static TService service;
    static unsigned requests = 0;
    if (!service.handler || ++requests % kRequestsPerStore == 0) {
        service.handler.reset();
        service.recorder.reset();
        service.store = OpenStore(":memory:");
        service.store->AddOffer({kOfferVersion, kOfferURL, UtcNow()});
        service.recorder = std::make_unique<TDirectRecorder>(*service.store);
        TServiceOptions options;
        options.filesDir = FilesDir();
        options.offerVersion = kOfferVersion;
        options.offerURL = kOfferURL;
        options.adminToken = kAdminToken;
        service.handler = std::make_unique<TRequestHandler>(options, *service.store, *service.recorder);
    }
    return service;
}

// The request in aText; false when it has no request line.
bool ParseRequest(const std::string& aText, TRequest& aRequest) {
    std::size_t lineEnd = aText.find('\n');
    if (lineEnd == std::string::npos)
        return false;
    const std::string line = aText.substr(0, lineEnd);
    const std::size_t space = line.find(' ');
    if (space == std::string::npos)
        return false;
    aRequest.method = line.substr(0, space);
    const std::string target = line.substr(space + 1);
    const std::size_t question = target.find('?');
    aRequest.path = target.substr(0, question);
    if (question != std::string::npos)
        aRequest.query = target.substr(question + 1);
    std::size_t pos = lineEnd + 1;
    while (pos < aText.size()) {
        lineEnd = aText.find('\n', pos);
        if (lineEnd == std::string::npos)
            lineEnd = aText.size();
        const std::string header = aText.substr(pos, lineEnd - pos);
        pos = lineEnd + 1;
        if (header.empty())
            break;
        const std::size_t colon = header.find(':');
        if (colon == std::string::npos)
            continue;
        const std::size_t value = header.find_first_not_of(' ', colon + 1);
        aRequest.headers.emplace_back(header.substr(0, colon),
                                      value == std::string::npos ? std::string() : header.substr(value));
    }
    if (pos < aText.size())
        aRequest.body = aText.substr(pos);
    aRequest.peer = "127.0.0.1";
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    TRequest request;
    if (!ParseRequest(std::string(reinterpret_cast<const char*>(aData), aSize), request))
        return 0;
    const TResponse response = Service().handler->Handle(request);
    // 500 is the handler's last resort for an exception nobody expected: never for request content.
    FUZZ_CHECK(response.status == 200 || response.status == 400 || response.status == 401 || response.status == 404 ||
               response.status == 413);
    const bool report = request.method == "POST" && response.status != 404;
    if (report && response.status == 200) {
        FUZZ_CHECK(response.contentType == "text/xml; charset=utf-8");
        FUZZ_CHECK(response.body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<", 0) == 0);
        const bool offered = response.body.find(kOfferURL) != std::string::npos;
        FUZZ_CHECK(!offered || response.body.find("<UpdateInfo>") != std::string::npos);
    }
    if (!response.file.empty())
        FUZZ_CHECK(response.file == FilesDir() + "/Quenvar-1.0.0.2.cab");
    if (response.status == 200 && (request.path == "/stats" || request.path == "/stats.json"))
        FUZZ_CHECK(IsAuthorized(request.Header("Authorization"), kAdminToken));
    return 0;
}
