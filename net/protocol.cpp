// The protocol core (see protocol.h): the tokenizer with RFC 9271's quoting
// and backslash escapes, the variable table, and one answer per request.
// Nothing a client sends is ever copied into an answer: names in answers are
// this table's own, matched word for word.
#include "net/protocol.h"
#include "net/ascii.h"
#include "monitor/monitor.h"

static const char UPS_NAME[] = "ups";
static const char ACCESS_DENIED[] = "ACCESS-DENIED";

enum {
    MAX_WORDS = 8,
    VALUE_BYTES = UPS_NAME_UNITS * 3 + 8,   // a UTF-8 name of 64 units, with room
};

// ---- Words of a request line

struct Words {
    int Count;
    const char* Word[MAX_WORDS];
    int Length[MAX_WORDS];
    // The line from the second word on, as it was sent.
    const char* Rest;
    int RestLength;
    char Storage[NET_LINE_BYTES + MAX_WORDS];
};

// Words are separated by spaces or tabs; a word in double quotes may hold
// them; a backslash takes the next byte as it is, inside quotes or out. An
// open quote, a backslash at the end or more than MAX_WORDS words make the
// line malformed; the words before the fault are kept.
static BOOL SplitWords(const char* line, int length, Words* words)
{
    int stored = 0;
    int i = 0;
    words->Count = 0;
    words->RestLength = 0;
    for (;;) {
        while (i < length && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (words->Count == 1) {
            words->Rest = line + i;
            words->RestLength = length - i;
        }
        if (i >= length)
            return TRUE;
        if (words->Count == MAX_WORDS)
            return FALSE;
        char* word = words->Storage + stored;
        int wordLength = 0;
        BOOL quoted = line[i] == '"';
        if (quoted)
            i++;
        for (;;) {
            if (i >= length) {
                if (quoted)
                    return FALSE;
                break;
            }
            char c = line[i];
            if (quoted && c == '"') {
                i++;
                break;
            }
            if (!quoted && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                if (++i >= length)
                    return FALSE;
                c = line[i];
            }
            word[wordLength++] = c;
            i++;
        }
        word[wordLength] = 0;
        words->Word[words->Count] = word;
        words->Length[words->Count] = wordLength;
        words->Count++;
        stored += wordLength + 1;
    }
}

// Command words in any case; UPS and variable names exactly.
static BOOL IsWord(const Words* words, int index, const char* text, BOOL anyCase)
{
    if (index >= words->Count)
        return FALSE;
    const char* word = words->Word[index];
    int i = 0;
    for (; text[i]; i++) {
        char c = word[i];
        if (anyCase && c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (c != text[i])
            return FALSE;
    }
    return i == words->Length[index];
}

static BOOL IsCommand(const Words* words, int index, const char* text)
{
    return IsWord(words, index, text, TRUE);
}

// ---- Answers

struct Reply {
    char* Text;
    int Length;
};

// Appends pattern, each '%' in it replaced by the next argument as it is and
// each '^' by the next argument in double quotes, its quotes and
// backslashes escaped.
static void Say(Reply* reply, const char* pattern, const char* first = 0, const char* second = 0)
{
    const char* arguments[2] = { first, second };
    int next = 0;
    char one[2] = { 0, 0 };
    for (; *pattern; pattern++) {
        if (*pattern != '%' && *pattern != '^') {
            one[0] = *pattern;
            reply->Length = AppendBytes(reply->Text, reply->Length, NET_ANSWER_BYTES, one);
            continue;
        }
        BOOL quoted = *pattern == '^';
        const char* text = arguments[next++];
        if (quoted)
            reply->Length = AppendBytes(reply->Text, reply->Length, NET_ANSWER_BYTES, "\"");
        for (; *text; text++) {
            char escaped[3] = { '\\', *text, 0 };
            BOOL escape = quoted && (*text == '"' || *text == '\\');
            reply->Length = AppendBytes(reply->Text, reply->Length, NET_ANSWER_BYTES, escape ? escaped : escaped + 1);
        }
        if (quoted)
            reply->Length = AppendBytes(reply->Text, reply->Length, NET_ANSWER_BYTES, "\"");
    }
}

// ---- Variables

enum Source {
    SOURCE_CHARGE,
    SOURCE_CHARGE_LOW,
    SOURCE_RUNTIME,
    SOURCE_RUNTIME_LOW,
    SOURCE_VOLTAGE,
    SOURCE_LOAD,
    SOURCE_WATTS,
    SOURCE_CAPACITY,
    SOURCE_OFF_DELAY,
    // The strings, from here on.
    SOURCE_MANUFACTURER,
    SOURCE_PRODUCT,
    SOURCE_TYPE,
    SOURCE_STATUS,
};

struct Variable {
    const char* Name;
    const char* Description;
};

// In the order LIST VAR gives them.
static const Variable VARIABLES[] = {
    { "battery.charge", "Charge (%)" },
    { "battery.charge.low", "Low charge (%)" },
    { "battery.runtime", "Runtime (s)" },
    { "battery.runtime.low", "Low runtime (s)" },
    { "device.mfr", "Manufacturer" },
    { "device.model", "Model" },
    { "device.type", "Device type" },
    { "input.voltage", "Input voltage (V)" },
    { "ups.delay.shutdown", "UPS shutdown delay (s)" },
    { "ups.load", "Load (%)" },
    { "ups.mfr", "Manufacturer" },
    { "ups.model", "Model" },
    { "ups.realpower", "Real power (W)" },
    { "ups.realpower.nominal", "Nominal power (W)" },
    { "ups.status", "UPS status" },
};

// Where each of VARIABLES takes its value.
static const BYTE SOURCES[] = {
    SOURCE_CHARGE,
    SOURCE_CHARGE_LOW,
    SOURCE_RUNTIME,
    SOURCE_RUNTIME_LOW,
    SOURCE_MANUFACTURER,
    SOURCE_PRODUCT,
    SOURCE_TYPE,
    SOURCE_VOLTAGE,
    SOURCE_OFF_DELAY,
    SOURCE_LOAD,
    SOURCE_MANUFACTURER,
    SOURCE_PRODUCT,
    SOURCE_WATTS,
    SOURCE_CAPACITY,
    SOURCE_STATUS,
};

static const char STATUS_WORDS[][9] = { " OB", " OL", " CHRG", " DISCHRG", " LB", " RB", " OVER", " FSD" };

static void AppendStatusWords(char* out, const NetFacts* facts)
{
    const UpsStatus* status = &facts->Status;
    // Low battery is this computer's own rule, so that a follower sees it
    // exactly when the primary starts to shut down; with FSD raised and the
    // data stale or gone, the words are the last seen, low. FSD only on
    // battery: between the mains' return being published and the outage
    // being ended, a follower must not read FSD on line.
    const BOOL holds[] = {
        status->OnBattery,
        !status->OnBattery,
        status->Charging,
        status->Discharging,
        ChooseShutdownReason(status, facts->RuntimeThresholdSeconds, facts->ChargeThresholdPercent) != 0
            || (facts->ForcedShutdown && (facts->Stale || !status->Present)),
        status->NeedsReplacement,
        status->Overload,
        facts->ForcedShutdown && status->OnBattery,
    };
    int position = 0;
    for (int i = 0; i < (int)ARRAYSIZE(holds); i++) {
        if (holds[i])
            position = AppendBytes(out, position, VALUE_BYTES, STATUS_WORDS[i] + (position == 0));
    }
}

// The value's text into out (VALUE_BYTES); FALSE when the UPS does not
// report it.
static BOOL FormatValue(int source, const NetFacts* facts, char* out)
{
    const UpsStatus* status = &facts->Status;
    const INT32 numbers[] = {
        status->ChargePercent, facts->ChargeThresholdPercent, status->RuntimeSeconds,
        facts->RuntimeThresholdSeconds, status->InputVoltage, status->LoadPercent, status->LoadWatts,
        status->CapacityWatts, facts->UpsOffDelaySeconds ? facts->UpsOffDelaySeconds : -1,
    };
    out[0] = 0;
    if (source < SOURCE_MANUFACTURER) {
        INT32 value = numbers[source];
        if (value < 0)
            return FALSE;
        // The voltage is kept in tenths.
        int position = AppendDecimal(out, 0, VALUE_BYTES, (UINT32)(source == SOURCE_VOLTAGE ? value / 10 : value));
        if (source == SOURCE_VOLTAGE) {
            position = AppendBytes(out, position, VALUE_BYTES, ".");
            AppendDecimal(out, position, VALUE_BYTES, (UINT32)(value % 10));
        }
        return TRUE;
    }
    if (source == SOURCE_MANUFACTURER || source == SOURCE_PRODUCT) {
        const WCHAR* name = source == SOURCE_MANUFACTURER ? status->Manufacturer : status->Product;
        return EncodeUtf8(name, UpsNameLength(name), out, VALUE_BYTES, TRUE) > 0;
    }
    if (source == SOURCE_TYPE)
        AppendBytes(out, 0, VALUE_BYTES, "ups");
    else
        AppendStatusWords(out, facts);
    return TRUE;
}

// ---- Commands

enum Handler {
    HANDLE_VALUE,
    HANDLE_TYPE,
    HANDLE_DESCRIPTION,
    HANDLE_LIST_VARIABLES,
    HANDLE_LIST_CLIENTS,
    HANDLE_EMPTY_LIST,
    HANDLE_NUMLOGINS,
    HANDLE_LOGIN,
    HANDLE_USERNAME,
    HANDLE_PASSWORD,
    HANDLE_LOGOUT,
    HANDLE_FIXED,       // the answer is FIXED_TEXTS[Text] as it stands
};

enum FixedText {
    TEXT_UPSDESC,
    TEXT_NONE = TEXT_UPSDESC,    // for the commands whose answers are composed
    TEXT_LIST_UPS,
    TEXT_GOODBYE,
    TEXT_VERSION,
    TEXT_PROTOCOL,
    TEXT_HELP,
    TEXT_NO_TLS,
    TEXT_DENIED,
    // The kinds of list, for "BEGIN LIST KIND ups".
    TEXT_VAR,
    TEXT_CLIENT,
    TEXT_RW,
    TEXT_CMD,
};

static const char* const FIXED_TEXTS[] = {
    "UPSDESC ups \"Corvane\"\n",
    "BEGIN LIST UPS\nUPS ups \"Corvane\"\nEND LIST UPS\n",
    "OK Goodbye\n",
    "Corvane 1.1.0.0\n",
    "1.3\n",
    "Commands: HELP VER PROTVER GET LIST USERNAME PASSWORD LOGIN LOGOUT\n",
    "ERR FEATURE-NOT-CONFIGURED\n",
    "ERR ACCESS-DENIED\n",
    "VAR",
    "CLIENT",
    "RW",
    "CMD",
};

// A command is its first word, and for GET and LIST its second, as Key
// gives them; Count is the number of words it takes in all (0: any);
// UpsWord, where the UPS's name stands (0: nowhere).
struct Command {
    const char* Key;
    BYTE Count;
    BYTE UpsWord;
    BYTE Handler;
    BYTE Text;
};

static const Command COMMANDS[] = {
    { "GET VAR", 4, 2, HANDLE_VALUE, TEXT_NONE },
    { "GET TYPE", 4, 2, HANDLE_TYPE, TEXT_NONE },
    { "GET DESC", 4, 2, HANDLE_DESCRIPTION, TEXT_NONE },
    { "GET NUMLOGINS", 3, 2, HANDLE_NUMLOGINS, TEXT_NONE },
    { "GET UPSDESC", 3, 2, HANDLE_FIXED, TEXT_UPSDESC },
    { "LIST VAR", 3, 2, HANDLE_LIST_VARIABLES, TEXT_VAR },
    { "LIST CLIENT", 3, 2, HANDLE_LIST_CLIENTS, TEXT_CLIENT },
    // Nothing can be set or commanded from the network: both lists are empty.
    { "LIST RW", 3, 2, HANDLE_EMPTY_LIST, TEXT_RW },
    { "LIST CMD", 3, 2, HANDLE_EMPTY_LIST, TEXT_CMD },
    { "LIST UPS", 2, 0, HANDLE_FIXED, TEXT_LIST_UPS },
    { "USERNAME", 0, 0, HANDLE_USERNAME, TEXT_NONE },
    { "PASSWORD", 0, 0, HANDLE_PASSWORD, TEXT_NONE },
    { "LOGIN", 2, 1, HANDLE_LOGIN, TEXT_NONE },
    { "LOGOUT", 1, 0, HANDLE_LOGOUT, TEXT_GOODBYE },
    { "VER", 1, 0, HANDLE_FIXED, TEXT_VERSION },
    { "NETVER", 1, 0, HANDLE_FIXED, TEXT_PROTOCOL },
    { "PROTVER", 1, 0, HANDLE_FIXED, TEXT_PROTOCOL },
    { "HELP", 1, 0, HANDLE_FIXED, TEXT_HELP },
    { "STARTTLS", 0, 0, HANDLE_FIXED, TEXT_NO_TLS },
    // This computer is the primary and nothing is set or commanded from the
    // network: a follower may read, never act on the UPS.
    { "PRIMARY", 0, 0, HANDLE_FIXED, TEXT_DENIED },
    { "MASTER", 0, 0, HANDLE_FIXED, TEXT_DENIED },
    { "FSD", 0, 0, HANDLE_FIXED, TEXT_DENIED },
    { "SET", 0, 0, HANDLE_FIXED, TEXT_DENIED },
    { "INSTCMD", 0, 0, HANDLE_FIXED, TEXT_DENIED },
};

// The request's first words against a key of one word or of two joined by
// a space, in any case.
static BOOL MatchesKey(const Words* words, const char* key)
{
    char first[16];
    int length = 0;
    while (key[length] && key[length] != ' ') {
        first[length] = key[length];
        length++;
    }
    first[length] = 0;
    return IsCommand(words, 0, first) && (!key[length] || IsCommand(words, 1, key + length + 1));
}

static const Command* FindCommand(const Words* words)
{
    for (const Command& command : COMMANDS) {
        if (MatchesKey(words, command.Key))
            return &command;
    }
    return 0;
}

// The error word for a request about the UPS's data from `source`, 0 when
// it may be answered. While FSD is raised, ups.status reaches every
// follower whatever became of the data.
static const char* DataError(const NetFacts* facts, int source)
{
    if (source == SOURCE_STATUS && facts->ForcedShutdown)
        return 0;
    if (!facts->Status.Present)
        return "DRIVER-NOT-CONNECTED";
    if (facts->Stale)
        return "DATA-STALE";
    return 0;
}

static int AnswerVariable(Reply* reply, int handler, const Words* words, const NetFacts* facts, const char** error)
{
    int index = -1;
    for (int i = 0; i < (int)ARRAYSIZE(VARIABLES); i++) {
        if (IsWord(words, 3, VARIABLES[i].Name, FALSE))
            index = i;
    }
    *error = DataError(facts, index < 0 ? -1 : SOURCES[index]);
    if (*error)
        return 0;
    char value[VALUE_BYTES];
    if (index < 0 || !FormatValue(SOURCES[index], facts, value))
        return -1;
    const char* name = VARIABLES[index].Name;
    if (handler == HANDLE_TYPE)
        Say(reply, "TYPE ups % %\n", name, SOURCES[index] >= SOURCE_MANUFACTURER ? "STRING:192" : "NUMBER");
    else if (handler == HANDLE_DESCRIPTION)
        Say(reply, "DESC ups % ^\n", name, VARIABLES[index].Description);
    else
        Say(reply, "VAR ups % ^\n", name, value);
    return 0;
}

static void AnswerListVariables(Reply* reply, const NetFacts* facts)
{
    for (int i = 0; i < (int)ARRAYSIZE(VARIABLES); i++) {
        char value[VALUE_BYTES];
        if (!DataError(facts, SOURCES[i]) && FormatValue(SOURCES[i], facts, value))
            Say(reply, "VAR ups % ^\n", VARIABLES[i].Name, value);
    }
}

// USERNAME and PASSWORD, once each per connection. The stock clients send
// the text as it is, neither quoted nor escaped, so the rest of the line
// counts as well as a single quoted word. Only whether it matched is kept.
static const char* TakeCredential(const Words* words, BOOL split, BOOL* given, BOOL* matches,
                                  const char* expected, const char* already)
{
    if (words->RestLength == 0)
        return "INVALID-ARGUMENT";
    if (*given)
        return already;
    *given = TRUE;
    BOOL word = split && words->Count == 2 && SecretsMatch(words->Word[1], words->Length[1], expected);
    *matches = SecretsMatch(words->Rest, words->RestLength, expected) | word;
    return 0;
}

// The error word of a refused LOGIN, 0 when it succeeds.
static const char* LogIn(NetSession* session, const NetFacts* facts)
{
    if (session->LoggedIn)
        return "ALREADY-LOGGED-IN";
    if (!session->UserGiven)
        return "USERNAME-REQUIRED";
    if (!session->PasswordGiven)
        return "PASSWORD-REQUIRED";
    if (facts->Password[0] == 0 || !session->UserMatches || !session->PasswordMatches)
        return ACCESS_DENIED;
    session->LoggedIn = TRUE;
    return 0;
}

// Answers a found command whose words are counted and named right; returns
// the NET_* flags, or -1 for VAR-NOT-SUPPORTED. *error is set to an error
// word instead of answering.
static int AnswerCommand(Reply* reply, const Command* command, const Words* words, BOOL split,
                         NetSession* session, const NetFacts* facts, const char** error)
{
    switch (command->Handler) {
    case HANDLE_VALUE:
    case HANDLE_TYPE:
    case HANDLE_DESCRIPTION:
        return AnswerVariable(reply, command->Handler, words, facts, error);
    case HANDLE_LIST_VARIABLES:
        *error = DataError(facts, SOURCE_STATUS);
        if (*error)
            return 0;
        [[fallthrough]];   // LIST VAR is a list like the others
    case HANDLE_LIST_CLIENTS:
    case HANDLE_EMPTY_LIST:
        Say(reply, "BEGIN LIST % ups\n", FIXED_TEXTS[command->Text]);
        if (command->Handler == HANDLE_LIST_VARIABLES)
            AnswerListVariables(reply, facts);
        for (int i = 0; command->Handler == HANDLE_LIST_CLIENTS && i < facts->LoginCount; i++)
            Say(reply, "CLIENT ups %\n", facts->LoginAddresses[i]);
        Say(reply, "END LIST % ups\n", FIXED_TEXTS[command->Text]);
        return 0;
    case HANDLE_NUMLOGINS: {
        char count[12];
        AppendDecimal(count, 0, sizeof(count), (UINT32)facts->LoginCount);
        Say(reply, "NUMLOGINS ups %\n", count);
        return 0;
    }
    case HANDLE_USERNAME:
        *error = TakeCredential(words, split, &session->UserGiven, &session->UserMatches, facts->User,
                                "ALREADY-SET-USERNAME");
        break;
    case HANDLE_PASSWORD:
        *error = TakeCredential(words, split, &session->PasswordGiven, &session->PasswordMatches,
                                facts->Password, "ALREADY-SET-PASSWORD");
        break;
    case HANDLE_LOGIN:
        *error = LogIn(session, facts);
        if (*error == ACCESS_DENIED) {
            session->RefusedLogins++;
            return NET_LOGIN_REFUSED | (session->RefusedLogins >= NET_MAX_REFUSED_LOGINS ? NET_CLOSE : 0);
        }
        if (*error)
            return 0;
        Say(reply, "OK\n");
        return NET_LOGGED_IN;
    default:
        Say(reply, FIXED_TEXTS[command->Text]);
        return command->Handler == HANDLE_LOGOUT ? NET_CLOSE : 0;
    }
    if (!*error)
        Say(reply, "OK\n");
    return 0;
}

int AnswerLine(NetSession* session, const char* line, int length, const NetFacts* facts,
               char* answer, int* answerLength)
{
    Reply reply = { answer, 0 };
    answer[0] = 0;
    if (length > 0 && line[length - 1] == '\r')
        length--;
    Words words;
    const char* error = 0;
    int flags = 0;
    BOOL split = SplitWords(line, length, &words);
    const Command* command = words.Count ? FindCommand(&words) : 0;
    BOOL credential = command && (command->Handler == HANDLE_USERNAME || command->Handler == HANDLE_PASSWORD);
    if (!split && !credential)
        error = "INVALID-ARGUMENT";
    else if (words.Count == 0)
        error = 0;
    else if (!command)
        error = "UNKNOWN-COMMAND";
    else if (command->Count && words.Count != command->Count)
        error = "INVALID-ARGUMENT";
    else if (command->UpsWord && !IsWord(&words, command->UpsWord, UPS_NAME, FALSE))
        error = "UNKNOWN-UPS";
    else
        flags = AnswerCommand(&reply, command, &words, split, session, facts, &error);
    if (flags < 0) {
        flags = 0;
        error = "VAR-NOT-SUPPORTED";
    }
    if (error)
        Say(&reply, "ERR %\n", error);
    *answerLength = reply.Length;
    return flags;
}

BOOL IsStatusStale(const UpsStatus* status, UINT32 ageMs)
{
    UINT32 waitMs = status->OnBattery ? MONITOR_WAIT_ON_BATTERY_MS : MONITOR_WAIT_MS;
    return ageMs > 3 * waitMs;
}

BOOL SecretsMatch(const char* given, int givenLength, const char* expected)
{
    int expectedLength = ByteTextLength(expected);
    UINT32 difference = (UINT32)(givenLength ^ expectedLength);
    // Every byte position is visited whatever the texts hold; only the
    // positions past a text's end read as zero.
    for (int i = 0; i < NET_SECRET_BYTES; i++) {
        UINT32 a = i < givenLength ? (BYTE)given[i] : 0;
        UINT32 b = i < expectedLength ? (BYTE)expected[i] : 0;
        difference |= a ^ b;
    }
    return difference == 0;
}

static BOOL IsControl(UINT32 c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

int EncodeUtf8(const WCHAR* text, int units, char* out, int capacity, BOOL printableOnly)
{
    int position = 0;
    for (int i = 0; i < units && text[i]; i++) {
        UINT32 c = text[i];
        BOOL high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (UINT32)(text[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (printableOnly && IsControl(c))
            c = '?';
        int count = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (position + count > capacity - 1)
            break;
        if (count == 1) {
            out[position++] = (char)c;
            continue;
        }
        static const BYTE LEAD[5] = { 0, 0, 0xC0, 0xE0, 0xF0 };
        for (int k = count - 1; k >= 0; k--) {
            UINT32 part = (c >> (6 * k)) & 0x3F;
            out[position++] = (char)(k == count - 1 ? LEAD[count] | (c >> (6 * k)) : 0x80 | part);
        }
    }
    out[position] = 0;
    return position;
}
