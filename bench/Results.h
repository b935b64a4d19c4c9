// The figures the benchmarks record, and the Markdown table `make bench` writes from them.
// Each benchmark measures its subject and its reference side by side and records one row per
// figure; notes say why a goal was missed and what would close the gap.
#pragma once

#include <string>
#include <vector>

namespace bench {

enum class Verdict { Met, Missed, Info };

struct Row {
    std::string section;    // "1. Throughput", ...
    std::string figure;     // what was measured
    std::string value;      // the figure, with its unit
    std::string reference;  // what it is measured against, with its value
    std::string ratio;      // value / reference, or empty
    std::string goal;       // the goal it is held to, or empty
    Verdict verdict = Verdict::Info;
};

void Record(Row row);
void Note(const std::string& section, const std::string& text);

// Writes the results file: machine, load, the table, methods and notes. False on a write error.
bool WriteResults(const std::string& path, const std::string& startLoad, double seconds);

std::string LoadAverage();  // "/proc/loadavg"'s first three fields
std::string Fixed(double value, int decimals);

}  // namespace bench
