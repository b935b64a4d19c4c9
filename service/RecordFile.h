// The record of a service bench: one JSON line per attempt, appended to a file that many runs
// (a station's, or several stations') share.
//
// Opened once for appending and never truncated; each line is written whole under an exclusive
// lock on the file, then flushed to the disk, so that parallel runs never interleave lines and a
// line that was reported written is on the disk (POSIX: O_APPEND, flock, fsync; Windows:
// LockFileEx, FlushFileBuffers; service/platform/<platform>/RecordFile.cpp). A line cut short by a
// crash of an earlier writer is ended before ours; an append that fails (a full disk) is cut back,
// so the file is as it was before it.
#pragma once

#include <memory>
#include <string>

class RecordFile {
  public:
    RecordFile();
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens (or makes, mode 0644 less the umask) `path` for appending. False with `why` when it
    // cannot be read and written, or is not a regular file (a folder, a device, a FIFO).
    bool open(const std::string& path, std::string& why);
    // Appends `line` (without its line feed) whole. False with `why` when it could not be done;
    // the file is then as it was.
    bool append(const std::string& line, std::string& why);
    bool isOpen() const { return file_ != nullptr; }

  private:
    struct File;  // the platform's open file
    std::unique_ptr<File> file_;
    std::string path_;
};
