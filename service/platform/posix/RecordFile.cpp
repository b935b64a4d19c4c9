// POSIX: O_APPEND, flock, fsync, and ftruncate to cut a failed append back.
#include "service/RecordFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source/platform/posix/UniqueFd.h"

struct RecordFile::File {
    UniqueFd fd;
};

RecordFile::RecordFile() = default;
RecordFile::~RecordFile() = default;

bool RecordFile::open(const std::string& path, std::string& why) {
    if (path.empty()) {
        why = "the record file's name is empty";
        return false;
    }
    // O_NONBLOCK: a FIFO under that name must be refused, not waited on for a reader. Read access
    // is needed for the look at the last byte: a file this user may only write is refused, since
    // a line cut short there could not be seen and ours would be glued to it.
    UniqueFd file(::open(path.c_str(),
                         O_RDWR | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644));
    const int fd = file.get();
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = path + ": not a regular file";
        return false;
    }
    fcntl(fd, F_SETFL, O_APPEND);  // blocking writes from here on
    file_ = std::make_unique<File>(File{std::move(file)});
    path_ = path;
    return true;
}

bool RecordFile::append(const std::string& line, std::string& why) {
    if (!file_) {
        why = "the record file is not open";
        return false;
    }
    const int fd = file_->fd.get();
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            why = path_ + ": cannot lock the record file: " + std::strerror(errno);
            return false;
        }
    }
    std::string whole = line + '\n';
    // Under the lock the end of the file is ours to look at: a writer that died mid-line left no
    // line feed, and our line must not be glued to its remains.
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        why = path_ + ": " + std::strerror(errno);
        flock(fd, LOCK_UN);
        return false;
    }
    const off_t before = info.st_size;
    char last = '\n';
    if (before > 0 && pread(fd, &last, 1, before - 1) != 1) {
        why = path_ + ": cannot read its last byte: " + std::strerror(errno);
        flock(fd, LOCK_UN);
        return false;
    }
    if (last != '\n') whole.insert(whole.begin(), '\n');
    bool ok = true;
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = write(fd, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why =
                path_ + ": cannot write the record file: " + std::strerror(n < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && fsync(fd) != 0) {
        why = path_ + ": cannot sync the record file: " + std::strerror(errno);
        ok = false;
    }
    // Whole or not at all: a line cut short (a full disk) is taken back, so that the file is as
    // it was and the next append does not carry on after a broken line.
    if (!ok && done > 0 && (ftruncate(fd, before) != 0 || fsync(fd) != 0)) {
        why += std::string("; and the cut line could not be taken back: ") + std::strerror(errno);
    }
    flock(fd, LOCK_UN);
    return ok;
}
