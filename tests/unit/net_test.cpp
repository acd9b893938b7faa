// The network server's pure core: request lines against answers as one table,
// a follower's session step by step, the status words, and the helpers the
// answers and log lines are built with (addresses, UTF-8, secrets, staleness).
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <string>
#include "net/address.h"
#include "net/protocol.h"
#include "status_builder.h"

namespace {

const char* const ADDRESSES[] = { "192.0.2.7", "2001:db8::9" };

// The plain emulated UPS on line, as the server would gather it.
NetFacts OnLine()
{
    NetFacts facts = {};
    facts.Status = MakeStatus(1, 0, 100, 3900);
    facts.Status.AcPresent = 1;
    facts.Status.Charging = 1;
    facts.Status.LoadPercent = 25;
    facts.Status.InputVoltage = 2304;
    facts.Status.CapacityWatts = 1500;
    facts.Status.LoadWatts = 375;
    lstrcpyW(facts.Status.Manufacturer, L"Quill \"fen\\\" Labs");
    lstrcpyW(facts.Status.Product, L"UPS\r\n1500");
    facts.RuntimeThresholdSeconds = 300;
    facts.ChargeThresholdPercent = 20;
    facts.User = "monuser";
    facts.Password = "s3cret";
    facts.LoginCount = 2;
    facts.LoginAddresses = ADDRESSES;
    return facts;
}

std::string Answer(NetSession* session, const std::string& line, const NetFacts& facts, int* flags = nullptr)
{
    char answer[NET_ANSWER_BYTES];
    int length = -1;
    int result = AnswerLine(session, line.data(), (int)line.size(), &facts, answer, &length);
    if (flags)
        *flags = result;
    EXPECT_EQ((int)strlen(answer), length) << line;
    return std::string(answer, length);
}

// FSD_GONE and FSD_STALE: FSD raised on battery, then the UPS gone (the
// server hands over the last status seen, Present 0) or the data stale.
enum State { LINE, NO_UPS, STALE, BARE, FSD_GONE, FSD_STALE };

NetFacts Facts(State state)
{
    NetFacts facts = OnLine();
    if (state == NO_UPS)
        facts.Status = MakeStatus(0, 0, -1, -1);
    if (state == FSD_GONE || state == FSD_STALE) {
        facts.Status = MakeStatus(state == FSD_STALE, 1, 60, 1800);
        facts.Status.Discharging = 1;
        facts.ForcedShutdown = TRUE;
    }
    facts.Stale = state == STALE || state == FSD_STALE;
    if (state == BARE) {
        // What a UPS reports when it gives only its flags and charge.
        facts.Status.RuntimeSeconds = facts.Status.LoadPercent = facts.Status.InputVoltage = -1;
        facts.Status.CapacityWatts = facts.Status.LoadWatts = -1;
        facts.Status.Manufacturer[0] = facts.Status.Product[0] = 0;
    }
    return facts;
}

const char LIST_VAR[] =
    "BEGIN LIST VAR ups\n"
    "VAR ups battery.charge \"100\"\n"
    "VAR ups battery.charge.low \"20\"\n"
    "VAR ups battery.runtime \"3900\"\n"
    "VAR ups battery.runtime.low \"300\"\n"
    "VAR ups device.mfr \"Quill \\\"fen\\\\\\\" Labs\"\n"
    "VAR ups device.model \"UPS??1500\"\n"
    "VAR ups device.type \"ups\"\n"
    "VAR ups input.voltage \"230.4\"\n"
    "VAR ups ups.load \"25\"\n"
    "VAR ups ups.mfr \"Quill \\\"fen\\\\\\\" Labs\"\n"
    "VAR ups ups.model \"UPS??1500\"\n"
    "VAR ups ups.realpower \"375\"\n"
    "VAR ups ups.realpower.nominal \"1500\"\n"
    "VAR ups ups.status \"OL CHRG\"\n"
    "END LIST VAR ups\n";

TEST(NetProtocol, EachRequestLineHasItsAnswer)
{
    const struct {
        State state;
        const char* line;
        const char* answer;
    } cases[] = {
        { LINE, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n" },
        { LINE, "get var ups battery.charge\r", "VAR ups battery.charge \"100\"\n" },
        { LINE, "GET VAR \"ups\" u\\ps.load", "VAR ups ups.load \"25\"\n" },
        { LINE, "  GET\tVAR ups   input.voltage  ", "VAR ups input.voltage \"230.4\"\n" },
        { LINE, "GET VAR ups device.mfr", "VAR ups device.mfr \"Quill \\\"fen\\\\\\\" Labs\"\n" },
        { LINE, "GET VAR ups battery.runtime.low", "VAR ups battery.runtime.low \"300\"\n" },
        { LINE, "GET VAR UPS ups.status", "ERR UNKNOWN-UPS\n" },
        { LINE, "GET VAR ups UPS.STATUS", "ERR VAR-NOT-SUPPORTED\n" },
        { LINE, "GET VAR ups ups.beeper.status", "ERR VAR-NOT-SUPPORTED\n" },
        { LINE, "GET VAR ups", "ERR INVALID-ARGUMENT\n" },
        { LINE, "GET VAR ups ups.status extra", "ERR INVALID-ARGUMENT\n" },
        { BARE, "GET VAR ups battery.runtime", "ERR VAR-NOT-SUPPORTED\n" },
        { BARE, "GET VAR ups ups.mfr", "ERR VAR-NOT-SUPPORTED\n" },
        { BARE, "GET VAR ups battery.charge.low", "VAR ups battery.charge.low \"20\"\n" },
        { NO_UPS, "GET VAR ups ups.status", "ERR DRIVER-NOT-CONNECTED\n" },
        { NO_UPS, "LIST VAR ups", "ERR DRIVER-NOT-CONNECTED\n" },
        { NO_UPS, "GET VAR other ups.status", "ERR UNKNOWN-UPS\n" },
        { STALE, "GET VAR ups ups.status", "ERR DATA-STALE\n" },
        { STALE, "GET TYPE ups ups.load", "ERR DATA-STALE\n" },
        { FSD_GONE, "GET VAR ups ups.status", "VAR ups ups.status \"OB DISCHRG LB FSD\"\n" },
        { FSD_GONE, "GET VAR ups battery.charge", "ERR DRIVER-NOT-CONNECTED\n" },
        { FSD_GONE, "LIST VAR ups", "BEGIN LIST VAR ups\nVAR ups ups.status \"OB DISCHRG LB FSD\"\nEND LIST VAR ups\n" },
        { FSD_STALE, "GET VAR ups ups.status", "VAR ups ups.status \"OB DISCHRG LB FSD\"\n" },
        { FSD_STALE, "GET VAR ups ups.load", "ERR DATA-STALE\n" },
        { LINE, "GET TYPE ups ups.load", "TYPE ups ups.load NUMBER\n" },
        { LINE, "GET TYPE ups ups.model", "TYPE ups ups.model STRING:192\n" },
        { LINE, "GET DESC ups battery.charge", "DESC ups battery.charge \"Charge (%)\"\n" },
        { LINE, "LIST VAR ups", LIST_VAR },
        { BARE, "LIST VAR ups", "BEGIN LIST VAR ups\nVAR ups battery.charge \"100\"\nVAR ups battery.charge.low \"20\"\n"
                                "VAR ups battery.runtime.low \"300\"\nVAR ups device.type \"ups\"\n"
                                "VAR ups ups.status \"OL CHRG\"\nEND LIST VAR ups\n" },
        { LINE, "LIST VAR nut", "ERR UNKNOWN-UPS\n" },
        { LINE, "LIST UPS", "BEGIN LIST UPS\nUPS ups \"Corvane\"\nEND LIST UPS\n" },
        { NO_UPS, "LIST RW ups", "BEGIN LIST RW ups\nEND LIST RW ups\n" },
        { LINE, "LIST CMD ups", "BEGIN LIST CMD ups\nEND LIST CMD ups\n" },
        { NO_UPS, "LIST CLIENT ups", "BEGIN LIST CLIENT ups\nCLIENT ups 192.0.2.7\nCLIENT ups 2001:db8::9\n"
                                     "END LIST CLIENT ups\n" },
        { LINE, "LIST ENUM ups ups.status", "ERR UNKNOWN-COMMAND\n" },
        { LINE, "GET NUMLOGINS ups", "NUMLOGINS ups 2\n" },
        { LINE, "GET UPSDESC ups", "UPSDESC ups \"Corvane\"\n" },
        { LINE, "VER", "Corvane 1.1.0.0\n" },
        { LINE, "NETVER", "1.3\n" },
        { LINE, "PROTVER", "1.3\n" },
        { LINE, "HELP", "Commands: HELP VER PROTVER GET LIST USERNAME PASSWORD LOGIN LOGOUT\n" },
        { LINE, "STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n" },
        { LINE, "PRIMARY ups", "ERR ACCESS-DENIED\n" },
        { LINE, "MASTER ups", "ERR ACCESS-DENIED\n" },
        { LINE, "FSD ups", "ERR ACCESS-DENIED\n" },
        { LINE, "SET VAR ups ups.status OB", "ERR ACCESS-DENIED\n" },
        { LINE, "INSTCMD ups shutdown.return", "ERR ACCESS-DENIED\n" },
        { LINE, "LOGOUTX", "ERR UNKNOWN-COMMAND\n" },
        { LINE, "GET", "ERR UNKNOWN-COMMAND\n" },
        { LINE, "\x01\xff\x7f GET", "ERR UNKNOWN-COMMAND\n" },
        { LINE, "GET VAR \"ups ups.status", "ERR INVALID-ARGUMENT\n" },
        { LINE, "GET VAR ups ups.status\\", "ERR INVALID-ARGUMENT\n" },
        { LINE, "a b c d e f g h i", "ERR INVALID-ARGUMENT\n" },
        { LINE, "", "" },
        { LINE, " \t\r", "" },
    };
    for (const auto& c : cases) {
        NetSession session = {};
        int flags = -1;
        EXPECT_EQ(c.answer, Answer(&session, c.line, Facts(c.state), &flags)) << c.line;
        EXPECT_EQ(0, flags) << c.line;
    }
}

// The status word list as the follower reads it: LB by this computer's rule,
// FSD from the controller and only on battery.
TEST(NetProtocol, StatusWordsFollowTheUpsAndThePrimarysRule)
{
    const struct {
        const char* what;
        UpsStatus status;
        BOOL fsd;
        const char* words;
    } cases[] = {
        { "on line, charging", MakeStatus(1, 0), FALSE, "OL" },
        { "on battery above both thresholds", MakeStatus(1, 1, 21, 301), FALSE, "OB" },
        { "charge at the threshold", MakeStatus(1, 1, 20, 3000), FALSE, "OB LB" },
        { "runtime at the threshold", MakeStatus(1, 1, 90, 300), FALSE, "OB LB" },
        { "armed", MakeStatus(1, 1, 20, 3000), TRUE, "OB LB FSD" },
        { "armed, the user's abort does not clear it", MakeStatus(1, 1, 80, 3000), TRUE, "OB FSD" },
        { "mains back before the outage is ended", MakeStatus(1, 0, 20, 3000), TRUE, "OL" },
    };
    for (const auto& c : cases) {
        NetFacts facts = OnLine();
        facts.Status = c.status;
        facts.ForcedShutdown = c.fsd;
        NetSession session = {};
        EXPECT_EQ(std::string("VAR ups ups.status \"") + c.words + "\"\n",
                  Answer(&session, "GET VAR ups ups.status", facts)) << c.what;
    }
    NetFacts facts = OnLine();
    facts.Status = MakeStatus(1, 1, 90, 3000);
    facts.Status.Discharging = facts.Status.NeedsReplacement = facts.Status.Overload = facts.Status.ShutdownImminent = 1;
    NetSession session = {};
    EXPECT_EQ("VAR ups ups.status \"OB DISCHRG LB RB OVER\"\n", Answer(&session, "GET VAR ups ups.status", facts));
}

// One connection's login, step by step.
TEST(NetProtocol, AFollowerLogsInOnceWithTheRightUserAndPassword)
{
    // Each connection's steps; `fresh` starts the next connection.
    const struct {
        bool fresh;
        const char* line;
        const char* answer;
        int flags;
    } steps[] = {
        { true, "LOGIN ups", "ERR USERNAME-REQUIRED\n", 0 },
        { false, "USERNAME monuser", "OK\n", 0 },
        { false, "USERNAME admin", "ERR ALREADY-SET-USERNAME\n", 0 },
        { false, "LOGIN ups", "ERR PASSWORD-REQUIRED\n", 0 },
        { false, "PASSWORD s3cre", "OK\n", 0 },
        { false, "PASSWORD s3cret", "ERR ALREADY-SET-PASSWORD\n", 0 },
        { false, "LOGIN other", "ERR UNKNOWN-UPS\n", 0 },
        { false, "LOGIN ups", "ERR ACCESS-DENIED\n", NET_LOGIN_REFUSED },
        { false, "GET VAR ups ups.status", "VAR ups ups.status \"OL CHRG\"\n", 0 },
        { false, "LOGIN ups", "ERR ACCESS-DENIED\n", NET_LOGIN_REFUSED },
        { false, "LOGIN ups", "ERR ACCESS-DENIED\n", NET_LOGIN_REFUSED | NET_CLOSE },
        { true, "USERNAME \"monuser\"", "OK\n", 0 },
        { false, "PASSWORD s3cret", "OK\n", 0 },
        { false, "LOGIN ups", "OK\n", NET_LOGGED_IN },
        { false, "LOGIN ups", "ERR ALREADY-LOGGED-IN\n", 0 },
        { false, "LOGOUT", "OK Goodbye\n", NET_CLOSE },
    };
    NetSession session = {};
    for (const auto& step : steps) {
        if (step.fresh)
            session = {};
        int flags = -1;
        EXPECT_EQ(step.answer, Answer(&session, step.line, OnLine(), &flags)) << step.line;
        EXPECT_EQ(step.flags, flags) << step.line;
    }
    EXPECT_TRUE(session.LoggedIn);

    // As the stock clients send it, raw, and as the protocol quotes it.
    NetFacts spaced = OnLine();
    spaced.Password = "pa ss\\\"w";
    for (const char* line : { "PASSWORD pa ss\\\"w", "PASSWORD \"pa ss\\\\\\\"w\"" }) {
        session = {};
        Answer(&session, "USERNAME monuser", spaced);
        EXPECT_EQ("OK\n", Answer(&session, line, spaced)) << line;
        EXPECT_EQ("OK\n", Answer(&session, "LOGIN ups", spaced)) << line;
    }
    session = {};
    EXPECT_EQ("ERR INVALID-ARGUMENT\n", Answer(&session, "PASSWORD  ", spaced));
    EXPECT_FALSE(session.PasswordGiven);

    // Without a configured password, the same words are refused.
    NetFacts facts = OnLine();
    facts.Password = "";
    session = {};
    Answer(&session, "USERNAME monuser", facts);
    Answer(&session, "PASSWORD \"\"", facts);
    EXPECT_EQ("ERR ACCESS-DENIED\n", Answer(&session, "LOGIN ups", facts));
    EXPECT_FALSE(session.LoggedIn);
}

// The longest answers fit whole: every name escaped at its longest, and as
// many followers as there may be, each with the longest address.
TEST(NetProtocol, TheLongestAnswersFitTheirBuffer)
{
    NetFacts facts = OnLine();
    for (int i = 0; i < UPS_NAME_UNITS; i++) {
        facts.Status.Manufacturer[i] = L'"';
        facts.Status.Product[i] = 0x20AC;
    }
    static const char LONGEST[] = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    const char* addresses[NET_MAX_CLIENTS];
    for (auto& address : addresses)
        address = LONGEST;
    facts.LoginCount = NET_MAX_CLIENTS;
    facts.LoginAddresses = addresses;
    NetSession session = {};
    std::string list = Answer(&session, "LIST VAR ups", facts);
    std::string quotes, euros;
    for (int i = 0; i < UPS_NAME_UNITS; i++) {
        quotes += "\\\"";
        euros += "\xe2\x82\xac";
    }
    EXPECT_NE(std::string::npos, list.find("VAR ups ups.mfr \"" + quotes + "\"\n"));
    EXPECT_NE(std::string::npos, list.find("VAR ups ups.model \"" + euros + "\"\n"));
    EXPECT_EQ("END LIST VAR ups\n", list.substr(list.size() - 17));
    std::string clients = Answer(&session, "LIST CLIENT ups", facts);
    EXPECT_EQ(NET_MAX_CLIENTS + 2, (int)std::count(clients.begin(), clients.end(), '\n'));
    EXPECT_EQ("END LIST CLIENT ups\n", clients.substr(clients.size() - 20));
}

TEST(NetProtocol, ASnapshotIsStaleAfterThreeWaitsOfItsState)
{
    const struct {
        INT32 onBattery;
        UINT32 ageMs;
        BOOL stale;
    } cases[] = {
        { 0, 0, FALSE }, { 0, 15000, FALSE }, { 0, 15001, TRUE },
        { 1, 6000, FALSE }, { 1, 6001, TRUE }, { 1, 0xFFFFFFFFu, TRUE },
    };
    for (const auto& c : cases) {
        UpsStatus status = MakeStatus(1, c.onBattery);
        EXPECT_EQ(c.stale, IsStatusStale(&status, c.ageMs)) << c.onBattery << " " << c.ageMs;
    }
}

TEST(NetProtocol, SecretsMatchOnlyWhenEqual)
{
    const std::string longest(NET_SECRET_BYTES - 1, 'p');
    const struct {
        std::string given;
        std::string expected;
        BOOL match;
    } cases[] = {
        { "s3cret", "s3cret", TRUE },
        { "s3cre", "s3cret", FALSE },
        { "s3crett", "s3cret", FALSE },
        { "s3creT", "s3cret", FALSE },
        { std::string("s3cret\0", 7), "s3cret", FALSE },
        { longest, longest, TRUE },
        { longest + "p", longest, FALSE },
        { std::string(NET_LINE_BYTES, 'p'), longest, FALSE },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.match, SecretsMatch(c.given.data(), (int)c.given.size(), c.expected.c_str())) << c.given;
}

TEST(NetProtocol, NamesBecomeUtf8WithoutControlCharacters)
{
    const struct {
        const wchar_t* text;
        int units;
        int capacity;
        BOOL printable;
        const char* utf8;
    } cases[] = {
        { L"Quillfen", 64, 64, TRUE, "Quillfen" },
        { L"A\r\nB\tC\x1b\x7f\x85", 64, 64, TRUE, "A??B?C???" },
        { L"A\r\nB", 64, 64, FALSE, "A\r\nB" },
        { L"\x20AC \xD83D\xDD0B", 64, 64, TRUE, "\xe2\x82\xac \xf0\x9f\x94\x8b" },
        { L"\xD83D" L"x\xDD0B", 64, 64, TRUE, "\xef\xbf\xbdx\xef\xbf\xbd" },
        { L"\xD83D\xDD0B", 1, 64, TRUE, "\xef\xbf\xbd" },
        { L"abcdef", 3, 64, TRUE, "abc" },
        { L"ab\x20AC", 64, 5, TRUE, "ab" },
    };
    for (const auto& c : cases) {
        char out[64];
        int length = EncodeUtf8(c.text, c.units, out, c.capacity, c.printable);
        EXPECT_EQ(std::string(c.utf8), std::string(out, length));
        EXPECT_EQ(0, out[length]);
    }
}

TEST(NetAddresses, AreWrittenInTheirShortestForm)
{
    const struct {
        int family;
        BYTE bytes[16];
        UINT32 port;
        const char* address;
        const char* endpoint;
    } cases[] = {
        { 4, { 127, 0, 0, 1 }, 3493, "127.0.0.1", "127.0.0.1:3493" },
        { 4, { 0, 0, 0, 0 }, 1, "0.0.0.0", "0.0.0.0:1" },
        { 6, {}, 65535, "::", "[::]:65535" },
        { 6, { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 }, 3493, "::1", "[::1]:3493" },
        { 6, { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1 }, 80, "2001:db8::1:0:0:1",
          "[2001:db8::1:0:0:1]:80" },
        { 6, { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1 }, 80, "2001:db8:0:1:1:1:1:1",
          "[2001:db8:0:1:1:1:1:1]:80" },
        { 6, { 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0xab, 0xcd, 0, 0x12, 0, 0, 0, 0 }, 80, "fe80::abcd:12:0:0",
          "[fe80::abcd:12:0:0]:80" },
        { 6, { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 7 }, 3493, "192.0.2.7", "192.0.2.7:3493" },
        { 6, { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff }, 3493,
          "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:3493" },
    };
    for (const auto& c : cases) {
        NetAddress address = {};
        address.Family = c.family;
        memcpy(address.Bytes, c.bytes, 16);
        char text[NET_ADDRESS_TEXT_BYTES];
        EXPECT_EQ((int)strlen(c.address), FormatNetAddress(&address, text));
        EXPECT_STREQ(c.address, text);
        FormatNetEndpoint(&address, c.port, text);
        EXPECT_STREQ(c.endpoint, text);
    }
}

}  // namespace
