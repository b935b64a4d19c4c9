#include "service/Help.h"

#include <sstream>
#include <vector>

namespace help {

namespace {

std::string Join(const std::vector<std::string>& parts, const std::string& between) {
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : between) + part;
    return joined;
}

// "-h, --help" or "--confirm, --no-confirm": every name the option answers to.
std::string NamesOf(const CLI::Option* option) {
    std::string names = option->get_name(false, true);
    std::string spaced;
    bool inDefault = false;  // "--no-confirm{false}": the value a negated flag stands for
    for (char c : names) {
        if (c == '{' || c == '}')
            inDefault = c == '{';
        else if (!inDefault)
            spaced += c == ',' ? std::string(", ") : std::string(1, c);
    }
    return spaced;
}

// What follows the names: the value in words (set with option_text), else none for a flag.
std::string ValueOf(const CLI::Option* option) {
    if (!option->get_option_text().empty()) return " " + option->get_option_text();
    return option->get_items_expected_min() == 0 ? "" : " VALUE";
}

std::string DescriptionOf(const CLI::Option* option) {
    std::string text = option->get_description();
    std::vector<std::string> needs, excludes;
    for (const CLI::Option* other : option->get_needs()) needs.push_back(other->get_name());
    for (const CLI::Option* other : option->get_excludes()) excludes.push_back(other->get_name());
    if (option->get_required()) text += " (required)";
    if (!needs.empty()) text += " (only with " + Join(needs, " and ") + ")";
    if (!excludes.empty()) text += " (not with " + Join(excludes, " or ") + ")";
    return text + ".";
}

std::string OptionLines(const CLI::App* app) {
    std::string out;
    for (const CLI::Option* option :
         app->get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
        if (option->get_group().empty()) continue;  // hidden: not for people (--station-port)
        const std::string head = "  " + NamesOf(option) + ValueOf(option);
        const bool ownLine = head.size() + 2 > kTextColumn;
        out += head + (ownLine ? "\n" + std::string(kTextColumn, ' ')
                               : std::string(kTextColumn - head.size(), ' '));
        out += Wrap(DescriptionOf(option), kTextColumn, kTextColumn) + "\n";
    }
    return out;
}

// "reflasher station --ports P1,P2,... [options]": a subcommand with its required options.
std::string UsageOf(const CLI::App* app, const std::string& name) {
    std::string usage = name;
    for (const CLI::Option* option :
         app->get_options([](const CLI::Option* o) { return o->get_required(); }))
        usage += " " + option->get_name() + ValueOf(option);
    return usage + " [options]";
}

}  // namespace

std::string Wrap(const std::string& text, std::size_t used, std::size_t indent) {
    std::istringstream words(text);
    std::string out, word;
    std::size_t column = used;
    bool first = true;
    while (words >> word) {
        if (!first && column + 1 + word.size() > kWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
    return out;
}

std::string PlainFormatter::make_help(const CLI::App* app, std::string name,
                                      CLI::AppFormatMode) const {
    const bool top = app->get_parent() == nullptr;
    const std::string program =
        top ? app->get_name() : app->get_parent()->get_name() + " " + app->get_name();
    std::string out = "Usage: " + UsageOf(app, program) + "\n";
    const std::vector<const CLI::App*> subcommands = app->get_subcommands({});
    for (const CLI::App* sub : subcommands)
        out += "       " + UsageOf(sub, program + " " + sub->get_name()) + "\n";
    (void)name;
    out += "\n" + Wrap(app->get_description(), 0, 0) + "\n\nOptions:\n" + OptionLines(app);
    for (const CLI::App* sub : subcommands) {
        out += "\nOptions of " + program + " " + sub->get_name() + " (" + sub->get_description() +
               "):\n";
        out += OptionLines(sub);
    }
    if (!app->get_footer().empty()) out += "\n" + app->get_footer() + "\n";
    return out;
}

}  // namespace help
