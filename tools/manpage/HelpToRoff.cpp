// help-to-roff: the manual page reflasher(1) from `reflasher --help`, so the two never differ.
//   help-to-roff <page template> <reflasher> <output>     (runs <reflasher> --help)
// The template (source/terminal/reflasher.1.in) holds what only the manual says (NAME, FILES...)
// and <<HELP>> where the help goes. The help's layout (service/CommandLine.cpp, service/Help.cpp
// and source/terminal/main.cpp) is read as: "Usage:" and the lines under it -> SYNOPSIS; the
// paragraph after it -> DESCRIPTION; a line after a blank one that ends with ':' -> a section; a
// line indented two blanks -> an entry, its text after two blanks or on the deeper indented lines
// below; any other line -> running text.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

std::size_t Indent(const std::string& line) {
    const std::size_t at = line.find_first_not_of(' ');
    return at == std::string::npos ? line.size() : at;
}

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? ""
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Body(const std::vector<std::string>& lines) {
    std::ostringstream out;
    std::size_t i = 0;
    // SYNOPSIS: the usage lines.
    out << ".SH SYNOPSIS\n.nf\n";
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::string line = lines[i];
        if (line.rfind("Usage: ", 0) == 0) line = line.substr(7);
        out << Escape(Trim(line)) << "\n";
    }
    out << ".fi\n.SH DESCRIPTION\n";
    bool inEntry = false, paragraphOpen = false;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty()) {
            inEntry = paragraphOpen = false;
            continue;
        }
        const std::size_t indent = Indent(line);
        const bool alone = i == 0 || lines[i - 1].empty();  // not the end of a longer paragraph
        if (indent == 0 && line.back() == ':' && alone) {
            out << ".SH " << Escape(Upper(line.substr(0, line.size() - 1))) << "\n";
            inEntry = false;
        } else if (indent == 2) {
            const std::size_t gap = line.find("  ", 2);
            out << ".TP\n\\fB" << Escape(Trim(line.substr(0, gap))) << "\\fR\n";
            if (gap != std::string::npos) out << Escape(Trim(line.substr(gap))) << "\n";
            inEntry = true;
        } else if (indent > 2 && inEntry) {
            out << Escape(Trim(line)) << "\n";
        } else {
            if (!paragraphOpen) out << (inEntry ? ".IP\n" : ".PP\n");
            paragraphOpen = true;
            out << Escape(Trim(line)) << "\n";
        }
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: help-to-roff <page template> <reflasher> <output>\n");
        return 2;
    }
    std::ifstream templateFile(argv[1]);
    std::string program = argv[2], quoted = "'";
    for (char c : program) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    std::FILE* help = popen((quoted + "' --help").c_str(), "r");
    if (!templateFile || help == nullptr) {
        std::fprintf(stderr, "help-to-roff: cannot read %s or run %s\n", argv[1], argv[2]);
        return 1;
    }
    std::string all;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, help)) > 0;)
        all.append(buffer, n);
    if (pclose(help) != 0) {
        std::fprintf(stderr, "help-to-roff: %s --help failed\n", argv[2]);
        return 1;
    }
    std::vector<std::string> lines;
    std::istringstream helpText(all);
    for (std::string line; std::getline(helpText, line);) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(line);
    }
    std::ostringstream page;
    page << templateFile.rdbuf();
    std::string text = page.str();
    const std::size_t at = text.find("<<HELP>>\n");
    if (at == std::string::npos || lines.empty() || lines[0].rfind("Usage: ", 0) != 0) {
        std::fprintf(
            stderr,
            "help-to-roff: no <<HELP>> in the template, or the help does not start with Usage:\n");
        return 1;
    }
    text.replace(at, 9, Body(lines));
    std::ofstream(argv[3]) << text;
    return 0;
}
