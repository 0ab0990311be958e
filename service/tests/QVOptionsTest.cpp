// The command line of qvservice: every option read through its table row, numbers bounded, and a
// bad line ending the program with exit code 2 and a message.
#include "QVOptions.h"
#include "ServiceTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using TArgs = std::vector<std::string>;

TEST(QVOptionsTest, GoodLinesSetTheirTargets) {
    TCommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--db", "r.db"}, line, error)) << error;
    const TServiceOptions defaults;
    EXPECT_EQ(line.options.database, "r.db");
    EXPECT_EQ(line.options.host, defaults.host);
    EXPECT_EQ(line.options.port, defaults.port);
    EXPECT_EQ(line.options.maxBody, defaults.maxBody);
    EXPECT_EQ(line.options.threads, defaults.threads);
    EXPECT_EQ(line.options.readTimeout, defaults.readTimeout);
    EXPECT_EQ(line.options.commitDelayUs, defaults.commitDelayUs);
    EXPECT_EQ(line.options.maxBatch, defaults.maxBatch);
    EXPECT_TRUE(line.options.fullSync);
    EXPECT_TRUE(line.options.accessLog);
    EXPECT_FALSE(line.dump);

    ASSERT_TRUE(ParseCommandLine({"--db",
                                  "postgresql://u@h/d",
                                  "--host",
                                  "0.0.0.0",
                                  "--port",
                                  "65535",
                                  "--port-file",
                                  "p",
                                  "--files",
                                  "f",
                                  "--offer-version",
                                  "1.0.0.2",
                                  "--offer-url",
                                  "http://u/x.cab",
                                  "--max-body",
                                  "16777216",
                                  "--admin-token",
                                  "t",
                                  "--admin-token-file",
                                  "tf",
                                  "--threads",
                                  "100000",
                                  "--read-timeout",
                                  "3600",
                                  "--commit-delay-us",
                                  "1000000",
                                  "--max-batch",
                                  "2000",
                                  "--sync",
                                  "normal",
                                  "--no-access-log",
                                  "--dump"},
                                 line, error))
        << error;
    const TServiceOptions& o = line.options;
    EXPECT_EQ(o.database, "postgresql://u@h/d");
    EXPECT_EQ(o.host, "0.0.0.0");
    EXPECT_EQ(o.port, 65535);
    EXPECT_EQ(line.portFile, "p");
    EXPECT_EQ(o.filesDir, "f");
    EXPECT_EQ(o.offerVersion, "1.0.0.2");
    EXPECT_EQ(o.offerURL, "http://u/x.cab");
    EXPECT_EQ(o.maxBody, 16777216u);
    EXPECT_EQ(o.adminToken, "t");
    EXPECT_EQ(line.tokenFile, "tf");
    EXPECT_EQ(o.threads, 100000);
    EXPECT_EQ(o.readTimeout, 3600);
    EXPECT_EQ(o.commitDelayUs, 1000000);
    EXPECT_EQ(o.maxBatch, kMaxBatch);
    EXPECT_FALSE(o.fullSync);
    EXPECT_FALSE(o.accessLog);
    EXPECT_TRUE(line.dump);

    // The lower bounds, a later value replacing an earlier one, and --decode needing no database.
    ASSERT_TRUE(ParseCommandLine({"--db", "a", "--port", "0", "--max-body", "256", "--threads", "1", "--read-timeout",
                                  "1", "--commit-delay-us", "0", "--max-batch", "1", "--sync", "full", "--db", "b"},
                                 line, error))
        << error;
    EXPECT_EQ(line.options.database, "b");
    EXPECT_EQ(line.options.port, 0);
    EXPECT_EQ(line.options.maxBody, 256u);
    EXPECT_EQ(line.options.threads, 1);
    EXPECT_EQ(line.options.readTimeout, 1);
    EXPECT_EQ(line.options.commitDelayUs, 0);
    EXPECT_EQ(line.options.maxBatch, 1u);
    EXPECT_TRUE(line.options.fullSync);
    ASSERT_TRUE(ParseCommandLine({"--decode", "AAAA"}, line, error)) << error;
    EXPECT_EQ(line.decode, "AAAA");
}

TEST(QVOptionsTest, BadLinesAreRefusedWithTheirMessage) {
    const struct {
        TArgs args;
        std::string message; // the start of the error text
    } cases[] = {
        {{"--db", "r", "--port", "65536"}, "--port takes a number from 0 to 65535, not \"65536\"\n"},
        {{"--db", "r", "--port", "-1"}, "--port takes a number from 0 to 65535, not \"-1\"\n"},
        {{"--db", "r", "--port", "80x"}, "--port takes a number from 0 to 65535, not \"80x\"\n"},
        {{"--db", "r", "--port", ""}, "--port takes a number from 0 to 65535, not \"\"\n"},
        {{"--db", "r", "--port", " 80"}, "--port takes a number from 0 to 65535, not \" 80\"\n"},
        {{"--db", "r", "--port", "99999999999999999999999"}, "--port takes a number from 0 to 65535"},
        {{"--db", "r", "--max-body", "255"}, "--max-body takes a number from 256 to 16777216, not \"255\"\n"},
        {{"--db", "r", "--max-body", "16777217"}, "--max-body takes a number from 256 to 16777216"},
        {{"--db", "r", "--max-body", "8k"}, "--max-body takes a number from 256 to 16777216, not \"8k\"\n"},
        {{"--db", "r", "--threads", "0"}, "--threads takes a number from 1 to 100000, not \"0\"\n"},
        {{"--db", "r", "--threads", "100001"}, "--threads takes a number from 1 to 100000"},
        {{"--db", "r", "--read-timeout", "0"}, "--read-timeout takes a number from 1 to 3600, not \"0\"\n"},
        {{"--db", "r", "--read-timeout", "3601"}, "--read-timeout takes a number from 1 to 3600"},
        {{"--db", "r", "--commit-delay-us", "1000001"}, "--commit-delay-us takes a number from 0 to 1000000"},
        {{"--db", "r", "--commit-delay-us", "+5"}, "--commit-delay-us takes a number from 0 to 1000000"},
        {{"--db", "r", "--max-batch", "0"}, "--max-batch takes a number from 1 to 2000, not \"0\"\n"},
        {{"--db", "r", "--max-batch", "2001"}, "--max-batch takes a number from 1 to 2000"},
        {{"--db", "r", "--sync", "FULL"}, "--sync takes normal or full, not \"FULL\"\n"},
        {{"--db", "r", "--threads"}, "missing value for --threads\nusage: "},
        {{"--db"}, "missing value for --db\nusage: "},
        {{"--db", "r", "--bogus"}, "usage: "},
        {{"--db", "r", "--sign", "k", "f"}, "usage: "},
        {{"--port", "8080"}, "usage: "},
        {{}, "usage: "},
        {{"--db", "r", "--offer-version", "1.0"}, "--offer-version and --offer-url go together\nusage: "},
        {{"--db", "r", "--offer-url", "u"}, "--offer-version and --offer-url go together\nusage: "},
        {{"--db", "r", "--offer-version", "1.x", "--offer-url", "u"},
         "--offer-version takes a dotted version of up to four numbers 0..65535, not \"1.x\"\n"},
    };
    for (const auto& c : cases) {
        TCommandLine line;
        std::string error;
        std::string args;
        for (const std::string& a : c.args)
            args += a + " ";
        EXPECT_FALSE(ParseCommandLine(c.args, line, error)) << args;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << args << ": " << error;
        EXPECT_EQ(error.back(), '\n') << args;
    }
}

// The program itself prints the message and ends with 2 before it touches the database.
TEST(QVOptionsTest, TheProgramEndsWithExitCode2) {
    TScratchDir dir;
    const struct {
        TArgs args;
        const char* message;
    } cases[] = {
        {{"--db", dir / "r.db", "--port", "70000"}, "--port takes a number from 0 to 65535, not \"70000\"\n"},
        {{"--db", dir / "r.db", "--max-body", "abc"}, "--max-body takes a number from 256 to 16777216"},
        {{"--db", dir / "r.db", "--nonsense"}, "usage: "},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(RunService(c.args, dir.Path(), error), 2) << c.message;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    }
    EXPECT_FALSE(std::ifstream(dir / "r.db"));
}

} // namespace
