// The settings of one service instance, and the command line that gives them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The most reports one commit may hold: a PostgreSQL statement takes at most 65535 parameters, and
// a batch needs up to 16 per report.
constexpr std::size_t kMaxBatch = 2000;

struct TServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0;             // 0: any free port
    std::string database;     // an SQLite file (created when missing) or a postgresql:// URL
    std::string filesDir;     // served below /files/; empty serves nothing
    std::string offerVersion; // with offerURL: the update offered to hits from older clients
    std::string offerURL;
    std::size_t maxBody = 8192; // larger request bodies are refused with 413
    std::string adminToken;     // the bearer token of /stats and /stats.json; empty switches them off
    int threads = 64;           // connections served at the same time; more wait for a free worker
    int readTimeout = 5;        // seconds a client may stay silent while sending, or idle between requests
    int commitDelayUs = 0;      // how long a report may wait for more to share its commit
    std::size_t maxBatch = 500; // reports per commit at most, up to kMaxBatch
    bool fullSync = true;       // SQLite: flush every commit to the disk; else only at checkpoints
    bool accessLog = false;     // one JSON line per request on stderr
};

// What qvservice's command line asks for (apart from --sign, which stands alone).
struct TCommandLine {
    TServiceOptions options;
    std::string portFile;  // where to write the port taken
    std::string tokenFile; // the file whose first line is the admin token
    std::string decode;    // a token to print the parameters of, instead of serving
    bool dump = false;     // print the recorded reports instead of serving
};

// The usage text, ending with a line break.
extern const char kServiceUsage[];

// Reads the arguments that follow the program's name, each option through one table of its name,
// kind, target and bounds, starting from the defaults (with the access log on). False for an
// unknown option, a missing value, a number that is malformed or out of its option's bounds, an
// unknown word, or options that do not go together; anError then holds what to print (one or more
// lines, ending with a line break) and aLine may be partly filled.
bool ParseCommandLine(const std::vector<std::string>& anArgs, TCommandLine& aLine, std::string& anError);
