// Finds resource numbers written as bare numbers outside res/: every dialog template, control,
// string and picture is to be named by res/Resource.h, so that renumbering one is a change of
// one line there and no copy of the number hides elsewhere.
// Usage: check-resource-ids <source tree>
// It reads the numbers from res/Resource.h (it knows none itself) and scans the C and C++ files
// of the tree, less res/ and build trees, with comments and string literals blanked out. It
// reports a number that is:
//  1. a resource number of four digits (the controls), anywhere, also as the whole of a string
//     literal (a widget's object name): no other number of the code happens to be one of them;
//  2. any other resource number of at least three digits, inside the arguments of a call that
//     takes resource numbers (kCalls), or given to a constant whose name says it holds one (a
//     word of its name is Page, String, Msg, Icon, Id...: `constexpr int kMsgTimedOut = 125;`).
//     Elsewhere such numbers are times, sizes and exit codes, and are left alone.
// Numbers below 100 are never reported: 1 and 2 are the framework's OK and Cancel everywhere.
// A line that holds a number by right, not as a resource, says so with "not a resource number".
// Exit code 0 when nothing was found, 1 with a line per finding, 2 when the tree cannot be read.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Calls that take a template, string or picture number (of the wizard, the framework, the
// back ends and the tests' drivers).
const std::set<std::string> kCalls = {
    "LoadString",
    "FindDialog",
    "FindPicture",
    "loadPicture",
    "Dialog",
    "setIcon",
    "iconOf",
    "firmwareName",
    "RunFlasher",
    "Run",
    "ReceiverConfirmsFlash",
    "Model",
    "S",
    "reported",
    "picture",
    "pictureHistory",
};

// A name that says it holds a resource number.
const std::regex kResourceName(
    R"((Page|Dialog|Dlg|Template|String|Msg|Message|Text|Icon|Bitmap|Picture|Frame|Id)([A-Z0-9_]\w*)?\s*=\s*$)");

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `text` with comments, and unless `keepStrings` string and character literals, replaced by
// spaces (line breaks kept, so that line numbers stay).
std::string blankOut(const std::string& text, bool keepStrings = false) {
    std::string out = text;
    auto blank = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && i < out.size(); ++i)
            if (out[i] != '\n') out[i] = ' ';
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            const std::size_t end = text.find('\n', i);
            blank(i, end == std::string::npos ? text.size() : end);
            i = end == std::string::npos ? text.size() : end;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const std::size_t end = text.find("*/", i + 2);
            const std::size_t stop = end == std::string::npos ? text.size() : end + 2;
            blank(i, stop);
            i = stop;
        } else if (c == 'R' && i + 1 < text.size() && text[i + 1] == '"' &&
                   (i == 0 ||
                    !(std::isalnum(static_cast<unsigned char>(text[i - 1])) ||
                      text[i - 1] == '_') ||
                    text[i - 1] == 'u' || text[i - 1] == '8' || text[i - 1] == 'L' ||
                    text[i - 1] == 'U')) {
            const std::size_t open = text.find('(', i + 2);
            if (open == std::string::npos) break;
            // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on ")" +
            // std::string.
            std::string close = ")";
            close += text.substr(i + 2, open - i - 2);
            close += '"';
            const std::size_t end = text.find(close, open);
            const std::size_t stop = end == std::string::npos ? text.size() : end + close.size();
            if (!keepStrings) blank(i, stop);
            i = stop;
        } else if (c == '"' ||
                   (c == '\'' &&
                    !(i > 0 && std::isxdigit(static_cast<unsigned char>(text[i - 1]))))) {
            // A quote after a digit is a digit separator (100'000), not a character literal.
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != c && text[j] != '\n') j += text[j] == '\\' ? 2 : 1;
            if (!keepStrings) blank(i, j + 1);
            i = j + 1;
        } else {
            ++i;
        }
    }
    return out;
}

struct Numbers {
    std::map<long, std::string> names;  // number -> its name(s)
};

// The numbers of res/Resource.h with their names: every number inside its id namespaces.
bool readNumbers(const fs::path& header, Numbers& numbers) {
    std::istringstream lines(blankOut(readFile(header)));
    const std::regex open(R"(^\s*namespace\s+(id\w)\s*\{)"), close(R"(^\s*\}\s*$)");
    const std::regex named(R"((k\w+)(\s*\[\s*\])?\s*=\s*(.*))"), number(R"(\b\d+\b)");
    std::string space, line;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_search(line, m, open)) {
            space = m[1];
            continue;
        }
        if (std::regex_search(line, m, close)) {
            space.clear();
            continue;
        }
        if (space.empty() || !std::regex_search(line, m, named)) continue;
        const std::string name = "res::" + space + "::" + m[1].str();
        const bool array = m[2].matched;
        const std::string values = m[3];
        int index = 0;
        for (auto it = std::sregex_iterator(values.begin(), values.end(), number);
             it != std::sregex_iterator(); ++it) {
            const long value = std::stol(it->str());
            std::string& entry = numbers.names[value];
            if (!entry.empty()) entry += " or ";
            entry += array ? name + "[" + std::to_string(index) + "]" : name;
            ++index;
        }
    }
    return numbers.names.size() >= 20;  // a header that no longer reads as expected is an error
}

struct Literal {
    std::size_t at;
    long value;
};

// The decimal integer literals of blanked-out text (with their suffixes; not parts of names,
// hexadecimal, floating or separated numbers).
std::vector<Literal> literals(const std::string& text) {
    std::vector<Literal> found;
    auto word = [&](std::size_t k) {
        const char c = text[k];
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '\'';
    };
    std::size_t i = 0;
    while (i < text.size()) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) || (i > 0 && word(i - 1))) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
        std::size_t end = j;
        while (end < text.size() &&
               (text[end] == 'u' || text[end] == 'U' || text[end] == 'l' || text[end] == 'L'))
            ++end;
        if ((end < text.size() && word(end)) || j - i > 9) {
            while (end < text.size() && word(end)) ++end;
            i = end;
            continue;
        }
        found.push_back({i, std::stol(text.substr(i, j - i))});
        i = end;
    }
    return found;
}

// Ranges [open, close) of the argument lists of calls in kCalls.
std::vector<std::pair<std::size_t, std::size_t>> resourceCalls(const std::string& text) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    const std::regex call(R"(\b([A-Za-z_]\w*)\s*\()");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), call);
         it != std::sregex_iterator(); ++it) {
        if (!kCalls.count((*it)[1].str())) continue;
        const std::size_t open = std::size_t(it->position(0) + it->length(0));
        int depth = 1;
        std::size_t k = open;
        while (k < text.size() && depth > 0) {
            if (text[k] == '(') ++depth;
            if (text[k] == ')') --depth;
            ++k;
        }
        ranges.emplace_back(open, k);
    }
    return ranges;
}

bool isSource(const fs::path& path) {
    static const std::set<std::string> kExtensions = {".c",  ".cc",  ".cpp", ".cxx", ".h",
                                                      ".hh", ".hpp", ".hxx", ".inl"};
    return kExtensions.count(path.extension().string()) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <source tree>\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    Numbers numbers;
    if (!readNumbers(root / "res" / "Resource.h", numbers)) {
        std::fprintf(stderr, "check-resource-ids: cannot read the resource numbers of %s\n",
                     (root / "res" / "Resource.h").string().c_str());
        return 2;
    }

    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path& path = it->path();
        if (it->is_directory()) {
            const std::string name = path.filename().string();
            // res/ holds the numbers; build trees hold generated copies of them.
            if ((it.depth() == 0 && name == "res") || name.rfind('.', 0) == 0 ||
                name.rfind("build", 0) == 0 || fs::exists(path / "CMakeCache.txt")) {
                it.disable_recursion_pending();
            }
            continue;
        }
        if (it->is_regular_file() && isSource(path)) files.push_back(path);
    }
    if (ec) {
        std::fprintf(stderr, "check-resource-ids: %s: %s\n", root.string().c_str(),
                     ec.message().c_str());
        return 2;
    }

    int findings = 0;
    auto report = [&](const fs::path& path, const std::string& text, std::size_t at, long value,
                      const std::string& line) {
        ++findings;
        const long lineNumber = 1 + std::count(text.begin(), text.begin() + long(at), '\n');
        std::printf("%s:%ld: %ld is %s: use the name\n    %s\n",
                    fs::relative(path, root).string().c_str(), lineNumber, value,
                    numbers.names[value].c_str(), line.c_str());
    };
    auto lineAt = [](const std::string& text, std::size_t at) {
        const std::size_t start = text.rfind('\n', at) + 1;  // npos + 1 == 0
        return text.substr(start, text.find('\n', at) - start);
    };
    const std::regex quotedNumber(R"re("(\d{4,9})")re");
    for (const fs::path& path : files) {
        const std::string original = readFile(path);
        const std::string text = blankOut(original);
        const std::string code = blankOut(original, true);
        for (auto it = std::sregex_iterator(code.begin(), code.end(), quotedNumber);
             it != std::sregex_iterator(); ++it) {
            const long value = std::stol((*it)[1].str());
            const std::string line = lineAt(original, std::size_t(it->position(0)));
            if (value >= 1000 && numbers.names.count(value) &&
                line.find("not a resource number") == std::string::npos)
                report(path, original, std::size_t(it->position(0)), value, line);
        }
        const auto calls = resourceCalls(text);
        for (const Literal& literal : literals(text)) {
            auto named = numbers.names.find(literal.value);
            if (literal.value < 100 || named == numbers.names.end()) continue;
            const std::size_t lineStart = text.rfind('\n', literal.at) + 1;  // npos + 1 == 0
            const std::string line = lineAt(original, literal.at);
            if (line.find("not a resource number") != std::string::npos) continue;
            bool found = literal.value >= 1000;
            for (const auto& [open, close] : calls)
                found = found || (literal.at >= open && literal.at < close);
            if (!found) {
                std::smatch m;
                const std::string before = text.substr(lineStart, literal.at - lineStart);
                found = std::regex_search(before, m, kResourceName);
            }
            if (found) report(path, text, literal.at, literal.value, line);
        }
    }
    if (findings > 0) {
        std::printf("%d resource number(s) written as numbers; res/Resource.h names them.\n",
                    findings);
        return 1;
    }
    return 0;
}
