// Windows: the file opened for appending with every kind of sharing (other runs append too), the
// whole line written under LockFileEx, FlushFileBuffers, and SetEndOfFile to cut a failed append
// back. The bytes are those of POSIX: UTF-8, lines ended by a line feed alone.
#include "service/RecordFile.h"

#include <windows.h>

#include "source/platform/win32/Text.h"
#include "source/platform/win32/UniqueHandle.h"

namespace {

// The whole file, from its start: the lock every writer takes before it looks at the end.
bool Lock(HANDLE file) {
    OVERLAPPED from{};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from) != FALSE;
}
void Unlock(HANDLE file) {
    OVERLAPPED from{};
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &from);
}

}  // namespace

struct RecordFile::File {
    UniqueHandle handle;
};

RecordFile::RecordFile() = default;
RecordFile::~RecordFile() = default;

bool RecordFile::open(const std::string& path, std::string& why) {
    if (path.empty()) {
        why = "the record file's name is empty";
        return false;
    }
    // Read access for the look at the last byte, as on POSIX.
    UniqueHandle handle(CreateFileW(flasher_os::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        why = path + ": " + flasher_os::SystemMessage(GetLastError());
        return false;
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        why = path + ": not a regular file";
        return false;
    }
    file_ = std::make_unique<File>(File{std::move(handle)});
    path_ = path;
    return true;
}

bool RecordFile::append(const std::string& line, std::string& why) {
    if (!file_) {
        why = "the record file is not open";
        return false;
    }
    const HANDLE file = file_->handle.get();
    if (!Lock(file)) {
        why = path_ + ": cannot lock the record file: " + flasher_os::SystemMessage(GetLastError());
        return false;
    }
    std::string whole = line + '\n';
    // Under the lock the end of the file is ours to look at: a writer that died mid-line left no
    // line feed, and our line must not be glued to its remains.
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        why = path_ + ": " + flasher_os::SystemMessage(GetLastError());
        Unlock(file);
        return false;
    }
    const LONGLONG before = size.QuadPart;
    char last = '\n';
    if (before > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(before - 1);
        at.OffsetHigh = static_cast<DWORD>((before - 1) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, &last, 1, &got, &at) || got != 1) {
            why =
                path_ + ": cannot read its last byte: " + flasher_os::SystemMessage(GetLastError());
            Unlock(file);
            return false;
        }
    }
    if (last != '\n') whole.insert(whole.begin(), '\n');
    bool ok = true;
    std::size_t done = 0;
    while (done < whole.size()) {
        OVERLAPPED at{};  // at the end as it is now: the lock keeps others from moving it
        const LONGLONG offset = before + static_cast<LONGLONG>(done);
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD wrote = 0;
        if (!WriteFile(file, whole.data() + done, static_cast<DWORD>(whole.size() - done), &wrote,
                       &at) ||
            wrote == 0) {
            why = path_ +
                  ": cannot write the record file: " + flasher_os::SystemMessage(GetLastError());
            ok = false;
            break;
        }
        done += wrote;
    }
    if (ok && !FlushFileBuffers(file)) {
        why =
            path_ + ": cannot flush the record file: " + flasher_os::SystemMessage(GetLastError());
        ok = false;
    }
    // Whole or not at all: a line cut short (a full disk) is taken back, so that the file is as
    // it was and the next append does not carry on after a broken line.
    if (!ok && done > 0) {
        LARGE_INTEGER end{};
        end.QuadPart = before;
        if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file) ||
            !FlushFileBuffers(file)) {
            why += "; and the cut line could not be taken back: " +
                   flasher_os::SystemMessage(GetLastError());
        }
    }
    Unlock(file);
    return ok;
}
