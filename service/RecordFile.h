// The record of a service bench: one JSON line per attempt, appended to a file that many runs
// (a station's, or several stations') share.
//
// Opened once with O_APPEND and never truncated; each line is written whole under an exclusive
// flock, then fsync'd, so that parallel runs never interleave lines and a line that was reported
// written is on the disk. A line cut short by a crash of an earlier writer is ended before ours;
// an append that fails (a full disk) is cut back, so the file is as it was before it.
#pragma once

#include <string>

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens (or makes, mode 0644 less the umask) `path` for appending. False with `why` when it
    // cannot be read and written, or is not a regular file (a folder, a device, a FIFO).
    bool open(const std::string& path, std::string& why);
    // Appends `line` (without its line feed) whole. False with `why` when it could not be done;
    // the file is then as it was.
    bool append(const std::string& line, std::string& why);
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string path_;
};
