// The progress bar, the same on every platform.
#include <string>

#include "tools/prog/Console.h"

ProgressBar::ProgressBar(std::FILE* out, std::uint32_t total) : out_(out), total_(total) {}

void ProgressBar::Update(std::uint32_t done) {
    const Clock::time_point now = Clock::now();
    if (drawn_ && done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    drawn_ = true;
    lastDraw_ = now;
    constexpr int kWidth = 24;  // the whole line stays within 80 columns
    const int filled =
        total_ == 0 ? kWidth : static_cast<int>(static_cast<std::uint64_t>(done) * kWidth / total_);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0.05 ? done / seconds : 0.0;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    if (rate > 0) {
        const auto left = static_cast<unsigned>((total_ - done) / rate + 0.5);
        std::fprintf(out_, "\rWriting [%s] %6u/%u bytes %6.1f kB/s %u:%02u left ", bar.c_str(),
                     done, total_, rate / 1000.0, left / 60, left % 60);
    } else {
        std::fprintf(out_, "\rWriting [%s] %6u/%u bytes    -.- kB/s -:-- left ", bar.c_str(), done,
                     total_);
    }
    std::fflush(out_);
}

void ProgressBar::Finish() {
    std::fputc('\n', out_);
    std::fflush(out_);
}
