// The service's answers, apart from any socket: the HTTP layer hands each request to
// TRequestHandler::Handle and sends back what it returns. Reports reach the store through a
// TReportRecorder, the statistics and the health check read the store directly.
#pragma once

#include "QVForm.h"
#include "QVGroupCommit.h"
#include "QVOptions.h"
#include "QVStore.h"
#include "QVVersion.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

struct TRequest {
    std::string method; // "GET", "HEAD", "POST"...
    std::string path;   // percent-decoded, without the query
    std::string query;  // the raw text after "?", empty without one
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string peer; // the client's address

    // The first header named aName (compared without case), or empty.
    std::string Header(const std::string& aName) const;
};

struct TResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // When set, the answer is this regular file, sent by the HTTP layer with Range support; body
    // and contentType are then unused.
    std::string file;
};

// The decoded parameters of a token, or false for a malformed or tampered one.
bool DecodeToken(const std::string& aToken, std::map<std::string, std::string>& aParams);

// The update-information document of a hit answer; without a version and URL it names no archive.
std::string UpdateInfoXML(const std::string& aVersion, const std::string& aURL);

// True when the two secrets are equal, in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b);

// True when an Authorization header value carries aToken: "Bearer TOKEN", or "Basic" with TOKEN as
// the password (what a browser sends after its log-in prompt). Always false for an empty aToken.
bool IsAuthorized(const std::string& anAuthorization, const std::string& aToken);

class TRequestHandler {
public:
    // The store and the recorder must outlive the handler; both may be used from several threads.
    TRequestHandler(const TServiceOptions& anOptions, TReportStore& aStore, TReportRecorder& aRecorder);

    // The answer to aRequest. Safe to call from several threads at once; never throws for any
    // request content.
    TResponse Handle(const TRequest& aRequest) const;

private:
    TResponse Report(const TRequest& aRequest, const std::string& anOperation) const;
    TResponse File(const std::string& aName) const;
    TResponse Health() const;
    TResponse Statistics(const TRequest& aRequest, bool aJSON) const;

    std::string FFilesDir, FOfferVersion, FOfferURL, FAdminToken;
    std::size_t FMaxBody;
    TReportStore& FStore;
    TReportRecorder& FRecorder;
};
