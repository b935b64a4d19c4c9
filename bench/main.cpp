// run-benchmarks [Google Benchmark flags] [RESULTS.md]: runs the benchmarks and, given a path,
// writes the results table there.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/Results.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string output;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-' || !output.empty()) {
            std::fprintf(stderr,
                         "usage: run-benchmarks [--benchmark_filter=REGEX ...] [RESULTS.md]\n");
            return 2;
        }
        output = argv[i];
    }
    const std::string startLoad = bench::LoadAverage();
    const std::int64_t start = bench::NowNs();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (output.empty()) return 0;
    const double seconds = static_cast<double>(bench::NowNs() - start) * 1e-9;
    if (!bench::WriteResults(output, startLoad, seconds)) {
        std::fprintf(stderr, "run-benchmarks: cannot write %s\n", output.c_str());
        return 1;
    }
    std::printf("Results written to %s\n", output.c_str());
    return 0;
}
