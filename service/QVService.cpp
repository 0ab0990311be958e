#include "QVService.h"

#include "QVStats.h"
#include "QVStoreFactory.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The library's server with its listening socket in reach, for a longer accept queue than the
// library's own.
class TQVServer : public httplib::Server {
public:
    int ListeningSocket() const { return svr_sock_; }
};

namespace {

// When the request being served on this thread began, set once its head was read.
thread_local std::chrono::steady_clock::time_point tRequestStart{};

std::string UtcNowMilliseconds() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[40];
    const std::size_t n = std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof(buf) - n, ".%03dZ", static_cast<int>(ms));
    return buf;
}

// Request text in a log line: valid UTF-8, bounded in length.
std::string LogText(const std::string& aText) {
    constexpr std::size_t kMax = 512;
    return JsonText(StorableText(aText.size() > kMax ? aText.substr(0, kMax) : aText));
}

void AccessLog(const httplib::Request& aRequest, const httplib::Response& aResponse) {
    // A file's answer is streamed: its body stays empty, its length is the content length.
    const std::size_t bytes = aResponse.body.empty() ? aResponse.content_length_ : aResponse.body.size();
    std::string line = "{\"time\":\"" + UtcNowMilliseconds() + "\",\"peer\":" + LogText(aRequest.remote_addr) +
                       ",\"method\":" + LogText(aRequest.method) + ",\"path\":" + LogText(aRequest.path) +
                       ",\"status\":" + std::to_string(aResponse.status) + ",\"bytes\":" + std::to_string(bytes);
    if (tRequestStart != std::chrono::steady_clock::time_point{}) {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - tRequestStart)
                .count();
        char ms[32];
        std::snprintf(ms, sizeof(ms), "%.3f", static_cast<double>(us) / 1000.0);
        line += std::string(",\"ms\":") + ms;
        tRequestStart = {};
    }
    WriteLogLine(line + "}");
}

TRequest ToRequest(const httplib::Request& aRequest) {
    TRequest request;
    request.method = aRequest.method;
    request.path = aRequest.path;
    const std::size_t question = aRequest.target.find('?');
    if (question != std::string::npos)
        request.query = aRequest.target.substr(question + 1);
    for (const auto& header : aRequest.headers)
        request.headers.emplace_back(header.first, header.second);
    request.body = aRequest.body;
    request.peer = aRequest.remote_addr;
    return request;
}

// Streams a file in chunks; the library cuts out the requested range and answers 206.
bool SendFile(const std::string& aPath, httplib::Response& aResponse) {
    struct stat st {};
    auto file = std::make_shared<std::ifstream>(aPath, std::ios::binary);
    if (!*file || stat(aPath.c_str(), &st) != 0)
        return false;
    aResponse.set_content_provider(static_cast<size_t>(st.st_size), "application/octet-stream",
                                   [file](size_t anOffset, size_t aLength, httplib::DataSink& aSink) {
                                       char buf[65536];
                                       file->clear();
                                       file->seekg(static_cast<std::streamoff>(anOffset));
                                       const size_t n = std::min(aLength, sizeof(buf));
                                       file->read(buf, static_cast<std::streamsize>(n));
                                       const std::streamsize got = file->gcount();
                                       if (got <= 0)
                                           return false;
                                       return aSink.write(buf, static_cast<size_t>(got));
                                   });
    return true;
}

} // namespace

void WriteLogLine(const std::string& aLine) {
    const std::string line = aLine + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

TQVService::TQVService(TServiceOptions anOptions)
    : FOptions(std::move(anOptions)), FStore(OpenStore(FOptions.database, TStoreSettings{FOptions.fullSync})),
      FServer(std::make_unique<TQVServer>()) {
    if (!FOptions.offerURL.empty())
        FStore->AddOffer({FOptions.offerVersion, FOptions.offerURL, UtcNow()});
    FCommit = std::make_unique<TGroupCommit>(
        *FStore, std::chrono::microseconds(FOptions.commitDelayUs), std::min(FOptions.maxBatch, kMaxBatch),
        [this](std::size_t aReports, const std::string& aReason) { LogCommitFailure(aReports, aReason); });
    FHandler = std::make_unique<TRequestHandler>(FOptions, *FStore, *FCommit);
    Route();
}

TQVService::~TQVService() {
    Stop();
}

void TQVService::LogCommitFailure(std::size_t aReports, const std::string& aReason) {
    // While the database is down every batch fails: one line a second is enough to tell.
    std::lock_guard<std::mutex> guard(FLogLock);
    const auto now = std::chrono::steady_clock::now();
    if (now - FLastFailureLog < std::chrono::seconds(1)) {
        ++FSuppressedFailures;
        return;
    }
    WriteLogLine("{\"time\":\"" + UtcNowMilliseconds() + "\",\"event\":\"commit failed\",\"reports\":" +
                 std::to_string(aReports) + ",\"error\":" + LogText(aReason) +
                 ",\"earlier_failures_not_logged\":" + std::to_string(FSuppressedFailures) + "}");
    FLastFailureLog = now;
    FSuppressedFailures = 0;
}

void TQVService::Route() {
    const std::size_t threads = static_cast<std::size_t>(std::max(FOptions.threads, 1));
    FServer->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    FServer->set_payload_max_length(FOptions.maxBody);
    // A client that stops sending, or idles between requests, loses its connection after the read
    // time-out, so silent clients cannot hold every worker.
    const time_t timeout = std::max(FOptions.readTimeout, 1);
    FServer->set_read_timeout(timeout, 0);
    FServer->set_keep_alive_timeout(timeout);
    FServer->set_keep_alive_max_count(1000);
    FServer->set_write_timeout(30, 0);
    // Small answers go out at once instead of waiting for the client's delayed acknowledgement.
    FServer->set_tcp_nodelay(true);

    FServer->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        tRequestStart = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    if (FOptions.accessLog)
        FServer->set_logger(AccessLog);

    const TRequestHandler& handler = *FHandler;
    auto serve = [&handler](const httplib::Request& req, httplib::Response& res) {
        const TResponse response = handler.Handle(ToRequest(req));
        for (const auto& header : response.headers)
            res.set_header(header.first.c_str(), header.second);
        if (!response.file.empty()) {
            // The status stays unset: the library answers 200 or, for a Range request, 206.
            if (!SendFile(response.file, res))
                res.status = 404;
            return;
        }
        res.status = response.status;
        if (!response.body.empty() || !response.contentType.empty()) {
            res.set_content(response.body, response.contentType.c_str());
        }
    };
    // Every path goes to the handler, including those with line breaks in them.
    FServer->Get(R"([\s\S]*)", serve);
    FServer->Post(R"([\s\S]*)", serve);
}

bool TQVService::Start() {
    FPort = FOptions.port == 0 ? FServer->bind_to_any_port(FOptions.host)
                               : (FServer->bind_to_port(FOptions.host, FOptions.port) ? FOptions.port : -1);
    if (FPort <= 0)
        return false;
    // Logon bursts open many connections at once; the library listens with a queue of 5.
    ::listen(FServer->ListeningSocket(), SOMAXCONN);
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    return true;
}

void TQVService::Stop() {
    if (FServer)
        FServer->stop();
    if (FThread.joinable())
        FThread.join();
}
