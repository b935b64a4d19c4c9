#include "source/unattended/RecordFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

RecordFile::~RecordFile() {
    if (fd_ >= 0) close(fd_);
}

bool RecordFile::open(const std::string& path, std::string& why) {
    // O_NONBLOCK: a FIFO under that name must be refused, not waited on for a reader. Read access
    // only serves the look at the last byte; a file this user may only write is still used.
    const int flags = O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        why = path + ": not a regular file";
        return false;
    }
    fcntl(fd, F_SETFL, O_APPEND);  // blocking writes from here on
    fd_ = fd;
    return true;
}

bool RecordFile::append(const std::string& line, std::string& why) {
    if (fd_ < 0) {
        why = "the record file is not open";
        return false;
    }
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            why = std::string("cannot lock the record file: ") + std::strerror(errno);
            return false;
        }
    }
    std::string whole = line + '\n';
    // Under the lock the end of the file is ours to look at: a writer that died mid-line left no
    // line feed, and our line must not be glued to its remains.
    struct stat info {};
    char last = '\n';
    if (fstat(fd_, &info) == 0 && info.st_size > 0 && pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n') {
        whole.insert(whole.begin(), '\n');
    }
    bool ok = true;
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = write(fd_, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = std::string("cannot write the record file: ") + std::strerror(errno);
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && fsync(fd_) != 0) {
        why = std::string("cannot sync the record file: ") + std::strerror(errno);
        ok = false;
    }
    flock(fd_, LOCK_UN);
    return ok;
}
