// The shared record is a C struct, so the compiler cannot keep its fields
// private to the access layer.  This scan does instead: outside
// core/RecordAccess.h, a field of SharedDeviceState may only be named as the
// first argument of a layer operation (LoadField(r->X[u]), StoreBytes(
// r->IRCode, ...)) or under sizeof; raw __atomic builtins and volatile
// (other than signal flags) do not appear at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The directories whose sources must reach the record through the layer
// (linux/ and tools/tavrod/ join once their accesses go through it too).
const char* const kLayerClients[] = {"core", "api", "linux", "tools/tavro", "tools/tavro-calibrate",
                                     "tools/tavrod", "demo", "app"};

const std::set<std::string> kLayerOperations = {
    "LoadField",   "StoreField",     "LoadBytes",     "StoreBytes",      "FillBytes",
    "MoveBytes",   "LoadText",       "StoreText",     "LoadHistory",     "StoreHistory",
    "RaiseRequest", "RequestPending", "TakeRequest",  "FinishRequest",   "WithdrawRequest",
    "WaitForRequest", "AwaitOrWithdrawRequest", "ServeRequest", "PublishField", "LoadPublished"};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Comments, string and character literals blanked out, line breaks kept.
std::string CodeOnly(const std::string& text) {
    std::string code = text;
    enum { kCode, kLine, kBlock, kString, kChar } state = kCode;
    for (size_t i = 0; i < code.size(); ++i) {
        char c = code[i], next = i + 1 < code.size() ? code[i + 1] : '\0';
        switch (state) {
            case kCode:
                if (c == '/' && next == '/') state = kLine, code[i] = ' ';
                else if (c == '/' && next == '*') state = kBlock, code[i] = ' ';
                else if (c == '"') state = kString;
                else if (c == '\'' && !(i > 0 && std::isxdigit(static_cast<unsigned char>(code[i - 1]))))
                    state = kChar;
                break;
            case kLine:
                if (c == '\n') state = kCode; else code[i] = ' ';
                break;
            case kBlock:
                if (c == '*' && next == '/') code[i] = code[i + 1] = ' ', ++i, state = kCode;
                else if (c != '\n') code[i] = ' ';
                break;
            case kString:
            case kChar:
                if (c == '\\') code[i] = ' ', code[i + 1] = ' ', ++i;
                else if (c == (state == kString ? '"' : '\'')) state = kCode;
                else if (c != '\n') code[i] = ' ';
                break;
        }
    }
    return code;
}

// Member names of one struct of the record's header.
std::set<std::string> StructFields(const std::string& header, const std::string& name) {
    std::set<std::string> fields;
    const size_t begin = header.find("typedef struct " + name + " {");
    const size_t end = header.find("} " + name + ";", begin);
    if (begin == std::string::npos || end == std::string::npos) return fields;
    const std::string body = header.substr(begin, end - begin);
    static const std::regex member(R"((?:uint8_t|int32_t|double|char|HistoryEntry)\s+(\w+)\s*[\[;])");
    for (std::sregex_iterator it(body.begin(), body.end(), member), last; it != last; ++it)
        if ((*it)[1].str().rfind("Reserved", 0) != 0) fields.insert((*it)[1].str());
    return fields;
}

struct Layout {
    std::set<std::string> record;   // fields of SharedDeviceState
    std::set<std::string> history;  // fields of HistoryEntry (a local copy may use them)
};

const Layout& RecordLayout() {
    static const Layout layout = [] {
        const std::string header = CodeOnly(ReadText(TAVRO_SOURCE_DIR "/core/SharedDeviceState.h"));
        return Layout{StructFields(header, "SharedDeviceState"), StructFields(header, "HistoryEntry")};
    }();
    return layout;
}

bool IdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

size_t SkipBlanksBack(const std::string& code, size_t pos) {
    while (pos > 0 && std::isspace(static_cast<unsigned char>(code[pos - 1]))) --pos;
    return pos;
}

// Start of the postfix expression (a->b.c[i](x)) that ends at `pos`.
size_t ExpressionStart(const std::string& code, size_t pos) {
    for (;;) {
        pos = SkipBlanksBack(code, pos);
        if (pos == 0) return pos;
        const char c = code[pos - 1];
        if (c == ']' || c == ')') {
            const char open = c == ']' ? '[' : '(';
            int depth = 0;
            while (pos > 0) {
                --pos;
                if (code[pos] == c) ++depth;
                else if (code[pos] == open && --depth == 0) break;
            }
            continue;
        }
        if (!IdentifierChar(c)) return pos;
        while (pos > 0 && IdentifierChar(code[pos - 1])) --pos;
        const size_t before = SkipBlanksBack(code, pos);
        if (before >= 2 && (code.compare(before - 2, 2, "->") == 0 || code.compare(before - 2, 2, "::") == 0))
            pos = before - 2;
        else if (before >= 1 && code[before - 1] == '.')
            pos = before - 1;
        else
            return pos;
    }
}

// The identifier that ends at `pos`, after blanks.
std::string IdentifierBefore(const std::string& code, size_t pos) {
    pos = SkipBlanksBack(code, pos);
    size_t start = pos;
    while (start > 0 && IdentifierChar(code[start - 1])) --start;
    return code.substr(start, pos - start);
}

// Whether the member access starting at `at` is the first argument of a
// layer operation or the operand of sizeof.
bool ThroughLayer(const std::string& code, size_t at) {
    size_t pos = SkipBlanksBack(code, ExpressionStart(code, at));
    if (IdentifierBefore(code, pos) == "sizeof") return true;
    if (pos > 0 && (code[pos - 1] == '&' || code[pos - 1] == '*')) pos = SkipBlanksBack(code, pos - 1);
    if (pos == 0 || code[pos - 1] != '(') return false;
    const std::string callee = IdentifierBefore(code, pos - 1);
    return callee == "sizeof" || kLayerOperations.count(callee) != 0;
}

// One line per access of the record that bypasses the layer, "LINE: TEXT".
std::vector<std::string> Bypasses(const std::string& source) {
    const std::string code = CodeOnly(source);
    const Layout& layout = RecordLayout();
    std::vector<size_t> found;
    static const std::regex access(R"((->|\.)\s*(\*\s*)?([A-Za-z_]\w*))");
    for (std::sregex_iterator it(code.begin(), code.end(), access), last; it != last; ++it) {
        const size_t at = static_cast<size_t>(it->position());
        if (at > 0 && std::isdigit(static_cast<unsigned char>(code[at - 1]))) continue;  // 2.*x
        const bool memberPointer = (*it)[2].matched;
        const std::string name = (*it)[3].str();
        if (!memberPointer) {
            if (layout.record.count(name) == 0) continue;
            size_t after = static_cast<size_t>(it->position() + it->length());
            while (after < code.size() && std::isspace(static_cast<unsigned char>(code[after]))) ++after;
            const char next = after < code.size() ? code[after] : '\0';
            if (next == '(') continue;  // a method of the same name
            if (layout.history.count(name) != 0 && next != '[') continue;  // a HistoryEntry value
        }
        if (!ThroughLayer(code, at)) found.push_back(at);
    }
    static const std::regex raw(R"(__atomic_\w+|\bvolatile\b(?!\s+(std::)?sig_atomic_t))");
    for (std::sregex_iterator it(code.begin(), code.end(), raw), last; it != last; ++it)
        found.push_back(static_cast<size_t>(it->position()));

    std::sort(found.begin(), found.end());
    std::vector<std::string> lines;
    long previous = 0;
    for (size_t at : found) {
        const size_t begin = source.rfind('\n', at) + 1;
        const size_t end = source.find('\n', at);
        std::string line = source.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        line.erase(0, line.find_first_not_of(" \t"));
        const long number = 1 + std::count(source.begin(), source.begin() + static_cast<long>(at), '\n');
        if (number == previous) continue;  // one report per line
        previous = number;
        lines.push_back(std::to_string(number) + ": " + line);
    }
    return lines;
}

std::vector<std::string> Sources(const std::string& directory) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        const std::string extension = entry.path().extension().string();
        if (extension == ".cpp" || extension == ".h" || extension == ".c") files.push_back(entry.path().string());
    }
    return files;
}

TEST(RecordAccessScan, ReadsTheRecordLayout) {
    const Layout& layout = RecordLayout();
    EXPECT_TRUE(layout.record.count("IRBlastRequest") && layout.record.count("MicData") &&
                layout.history.count("ThetaX") && !layout.record.count("Reserved0010"))
        << layout.record.size() << " record fields, " << layout.history.size() << " history fields";
}

struct ScanCase {
    const char* code;
    size_t bypasses;
};

class RecordAccessScanCase : public testing::TestWithParam<ScanCase> {};

TEST_P(RecordAccessScanCase, FindsExactlyTheBypasses) {
    EXPECT_EQ(Bypasses(GetParam().code).size(), GetParam().bypasses) << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    Snippets, RecordAccessScanCase,
    testing::Values(ScanCase{"double x = r->X[0];", 1}, ScanCase{"r.CompX[u] = 1.0;", 1},
                    ScanCase{"std::memcpy(out, r->RawData, n);", 1},
                    ScanCase{"uint8_t* flag = &r->SetGainRequest;", 1},
                    ScanCase{"sum += r.History[n][u].*field;", 1},
                    ScanCase{"if (TavroLinux->SharedData->StopRequest) stop();", 1},
                    ScanCase{"__atomic_store_n(&flag, 1, __ATOMIC_RELAXED);", 1},
                    ScanCase{"volatile uint8_t* p = nullptr;", 1},
                    ScanCase{"double x = tavro::LoadField(r->X[0]);", 0},
                    ScanCase{"StoreField(kit.SharedData->CurrentUser, 1);", 0},
                    ScanCase{"tavro::LoadBytes(r->MicData[count - 1 - j], block, sizeof block);", 0},
                    ScanCase{"sum += LoadField(r.History[n][u].*field);", 0},
                    ScanCase{"char path[sizeof SharedData->IniFileName];", 0},
                    ScanCase{"double d = entry.Distance + newest.CompX;", 0},
                    ScanCase{"core->Stabilize(user);", 0},
                    ScanCase{"// r->X[0] = 1;\nconst char* t = \"r->X[0]\";", 0},
                    ScanCase{"volatile std::sig_atomic_t g_stop = 0;", 0}));

class RecordAccessScanDirectory : public testing::TestWithParam<const char*> {};

TEST_P(RecordAccessScanDirectory, ReachesTheRecordOnlyThroughTheLayer) {
    const std::vector<std::string> files = Sources(std::string(TAVRO_SOURCE_DIR) + "/" + GetParam());
    ASSERT_FALSE(files.empty()) << "no sources in " << GetParam();
    std::string report;
    for (const std::string& file : files) {
        if (file.find("/core/RecordAccess.h") != std::string::npos ||
            file.find("/core/SharedDeviceState.h") != std::string::npos)
            continue;
        for (const std::string& line : Bypasses(ReadText(file))) report += file + ":" + line + "\n";
    }
    EXPECT_EQ(report, "") << "use the operations of core/RecordAccess.h for these accesses";
}

INSTANTIATE_TEST_SUITE_P(Sources, RecordAccessScanDirectory, testing::ValuesIn(kLayerClients));

}  // namespace
