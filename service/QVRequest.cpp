#include "QVRequest.h"

#include "CryptU.h"
#include "QVStats.h"
#include "ServiceVocabU.h"
#include "StringU.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <fstream>
#include <sys/stat.h>

namespace {

const char kXml[] = "text/xml; charset=utf-8";
const char kText[] = "text/plain; charset=utf-8";
const char kFormType[] = "application/x-www-form-urlencoded";

// Token characters are bytes 0..255; the database holds them as UTF-8.
std::string Latin1ToUtf8(const std::wstring& aText) {
    std::string out;
    for (wchar_t wc : aText) {
        const unsigned c = static_cast<unsigned>(wc) & 0xFF;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Param(const std::map<std::string, std::string>& aParams, const char* aName) {
    const auto it = aParams.find(aName);
    return it == aParams.end() ? std::string() : it->second;
}

// Standard Base64 through the token's URL-safe decoder: the alphabets differ in three characters.
std::string Base64Decode(const std::string& aText) {
    std::wstring text;
    for (char c : aText)
        text += c == '+' ? L'-' : c == '/' ? L'_' : c == '=' ? L'@' : c == '-' || c == '_' || c == '@' ? L'!' : c;
    const TBytes bytes = DecodeURLText(text);
    return std::string(bytes.begin(), bytes.end());
}

// The operation named by a report path: "(/anything)?/api/client.asmx/SendLog" or ".../GetXML".
// The prefix may hold any character but a line break.
const char* ReportOperation(const std::string& aPath) {
    for (const TServiceWord& operation : kServiceOperations) {
        const std::string s = std::string(kServiceFolder.Text) + operation.Text;
        if (aPath.size() < s.size() || aPath.compare(aPath.size() - s.size(), s.size(), s) != 0)
            continue;
        const std::string prefix = aPath.substr(0, aPath.size() - s.size());
        if (!prefix.empty() && prefix[0] != '/')
            continue;
        if (prefix.find_first_of("\r\n") != std::string::npos)
            continue;
        return operation.Text;
    }
    return nullptr;
}

// A plain file name below /files/: no folders, no leading dot.
bool IsServedName(const std::string& aName) {
    auto plain = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    };
    if (aName.empty() || !plain(aName[0]))
        return false;
    for (char c : aName)
        if (!plain(c) && c != '.')
            return false;
    return true;
}

TResponse Answer(int aStatus, const std::string& aContentType, std::string aBody) {
    TResponse response;
    response.status = aStatus;
    response.contentType = aContentType;
    response.body = std::move(aBody);
    return response;
}

TResponse NotFound() {
    TResponse response;
    response.status = 404;
    return response;
}

} // namespace

std::string TRequest::Header(const std::string& aName) const {
    for (const auto& header : headers)
        if (SameTextAscii(header.first, aName))
            return header.second;
    return {};
}

bool DecodeToken(const std::string& aToken, std::map<std::string, std::string>& aParams) {
    TCryptURL crypt(true);
    std::wstring token;
    token.reserve(aToken.size());
    for (unsigned char c : aToken)
        token += static_cast<wchar_t>(c);
    if (!crypt.Decrypt(token))
        return false;
    for (const TParam& p : crypt.Parameters())
        aParams[Latin1ToUtf8(p.name)] = Latin1ToUtf8(p.value);
    return true;
}

std::string UpdateInfoXML(const std::string& aVersion, const std::string& aURL) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    xml = xml + '<' + kInfoRoot.Text + "><" + kInfoVersions.Text + '>';
    if (!aURL.empty())
        xml = xml + '<' + kInfoVersion.Text + ' ' + kInfoVersionNumber.Text + "=\"" + XmlText(aVersion) + "\" " +
              kInfoURL.Text + "=\"" + XmlText(aURL) + "\"/>";
    xml = xml + "</" + kInfoVersions.Text + "></" + kInfoRoot.Text + '>';
    return xml;
}

bool SameSecret(const std::string& a, const std::string& b) {
    // Comparing digests of equal length hides the length and the position of a difference.
    unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
    unsigned int na = 0, nb = 0;
    if (EVP_Digest(a.data(), a.size(), da, &na, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(b.data(), b.size(), db, &nb, EVP_sha256(), nullptr) != 1 || na != nb)
        return false;
    return CRYPTO_memcmp(da, db, na) == 0;
}

bool IsAuthorized(const std::string& anAuthorization, const std::string& aToken) {
    if (aToken.empty())
        return false;
    const std::size_t space = anAuthorization.find(' ');
    if (space == std::string::npos)
        return false;
    const std::string scheme = anAuthorization.substr(0, space);
    const std::string credentials = TrimBlanks(anAuthorization.substr(space + 1));
    std::string presented;
    if (SameTextAscii(scheme, "Bearer")) {
        presented = credentials;
    } else if (SameTextAscii(scheme, "Basic")) {
        const std::string pair = Base64Decode(credentials);
        const std::size_t colon = pair.find(':');
        if (colon == std::string::npos)
            return false;
        presented = pair.substr(colon + 1);
    } else {
        return false;
    }
    return SameSecret(presented, aToken);
}

TRequestHandler::TRequestHandler(const TServiceOptions& anOptions, TReportStore& aStore, TReportRecorder& aRecorder)
    : FFilesDir(anOptions.filesDir), FOfferVersion(anOptions.offerVersion), FOfferURL(anOptions.offerURL),
      FAdminToken(anOptions.adminToken), FMaxBody(anOptions.maxBody), FStore(aStore), FRecorder(aRecorder) {}

TResponse TRequestHandler::Handle(const TRequest& aRequest) const {
    try {
        if (aRequest.method == "POST") {
            const char* operation = ReportOperation(aRequest.path);
            if (!operation)
                return NotFound();
            if (aRequest.body.size() > FMaxBody)
                return Answer(413, kText, "");
            return Report(aRequest, operation);
        }
        if (aRequest.method != "GET" && aRequest.method != "HEAD")
            return NotFound();
        if (aRequest.path == "/healthz")
            return Health();
        if (aRequest.path == "/stats")
            return Statistics(aRequest, false);
        if (aRequest.path == "/stats.json")
            return Statistics(aRequest, true);
        static const std::string kFiles = "/files/";
        if (aRequest.path.rfind(kFiles, 0) == 0 && IsServedName(aRequest.path.substr(kFiles.size())))
            return File(aRequest.path.substr(kFiles.size()));
        return NotFound();
    } catch (const std::exception&) {
        // The request thread's boundary: an unexpected failure becomes an answer, never a crash.
        return Answer(500, kText, "internal error");
    }
}

TResponse TRequestHandler::Report(const TRequest& aRequest, const std::string& anOperation) const {
    TReport report;
    report.time = UtcNow();
    report.operation = anOperation;
    report.peer = aRequest.peer;
    // The client sends a form body; a query string is accepted the same way and comes first.
    TFormFields fields = ParseForm(aRequest.query);
    if (aRequest.Header("Content-Type").rfind(kFormType, 0) == 0) {
        const TFormFields body = ParseForm(aRequest.body);
        fields.insert(fields.end(), body.begin(), body.end());
    }
    const std::string token = FormValue(fields, kFieldToken.Text);
    const std::optional<TServiceAction> action =
        ServiceActionOf(report.operation, FormValue(fields, kFieldAction.Text));
    if (action)
        report.action = *action;
    std::map<std::string, std::string> params;
    if (token.empty())
        report.reason = std::string("missing ") + kFieldToken.Text;
    else if (!DecodeToken(token, params))
        report.reason = "malformed or tampered token";
    else if (!action)
        report.reason = "unknown action";
    report.accepted = report.reason.empty();
    report.cfg = Param(params, kTokenCFG.Text);
    report.uid = Param(params, kTokenUID.Text);
    report.ver = Param(params, kTokenVER.Text);
    report.cls = Param(params, kTokenCLS.Text);
    report.subid = Param(params, kTokenSUBID.Text);
    report.randomizer = Param(params, kTokenRANDOMIZER.Text);
    // A report that is not stored is not acknowledged: the client sends it again on its next run.
    if (!FRecorder.Record(report))
        return Answer(503, kText, "cannot record the report");
    if (!report.accepted)
        return Answer(400, kText, report.reason);
    if (action == saHit) {
        // Clients already at the offered version or newer get the document without an archive.
        const bool offer = !FOfferURL.empty() && IsOlderVersion(report.ver, FOfferVersion);
        return Answer(200, kXml, offer ? UpdateInfoXML(FOfferVersion, FOfferURL) : UpdateInfoXML("", ""));
    }
    return Answer(200, kXml, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Result>OK</Result>");
}

TResponse TRequestHandler::File(const std::string& aName) const {
    if (FFilesDir.empty())
        return NotFound();
    const std::string path = FFilesDir + "/" + aName;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !std::ifstream(path, std::ios::binary))
        return NotFound();
    TResponse response;
    response.file = path;
    return response;
}

TResponse TRequestHandler::Health() const {
    TResponse response = FStore.Reachable() ? Answer(200, kText, "ok\n") : Answer(503, kText, "database unreachable\n");
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

TResponse TRequestHandler::Statistics(const TRequest& aRequest, bool aJSON) const {
    if (FAdminToken.empty())
        return NotFound();
    if (!IsAuthorized(aRequest.Header("Authorization"), FAdminToken)) {
        TResponse response = Answer(401, kText, "authorization required\n");
        response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"Quenvar statistics\"");
        response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Quenvar statistics\", charset=\"UTF-8\"");
        return response;
    }
    TStatsRange range;
    std::string error;
    if (!ParseStatsRange(ParseForm(aRequest.query), UtcNow().substr(0, 10), range, error))
        return Answer(400, kText, error + "\n");
    TStoreStatistics counts;
    try {
        counts = FStore.Statistics(range.first, range.last);
    } catch (const TStoreError&) {
        return Answer(503, kText, "database unavailable\n");
    }
    const TStatistics statistics = BuildStatistics(counts, range);
    TResponse response = aJSON ? Answer(200, "application/json", StatisticsJSON(statistics))
                               : Answer(200, "text/html; charset=utf-8", StatisticsHTML(statistics));
    response.headers.emplace_back("Cache-Control", "no-store");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    // The page draws everything itself; nothing else may load.
    if (!aJSON)
        response.headers.emplace_back("Content-Security-Policy",
                                      "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
    return response;
}
