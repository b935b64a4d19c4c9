// The engine's own trouble notices on Windows: a plain message box (OK button, no icon, no
// owner window) unless the application routes them elsewhere.
#include <windows.h>

#include <atomic>

#include "comm/platform/Sync.h"

namespace comm::platform {

namespace {

void ShowMessageBox(const char* caption, const char* text) {
    MessageBoxA(nullptr, text, caption, MB_OK);
}

std::atomic<NoticeFunction> noticeFunction{&ShowMessageBox};

}  // namespace

void SetNoticeFunction(NoticeFunction function) {
    noticeFunction.store(function != nullptr ? function : &ShowMessageBox);
}

void ShowNotice(const char* caption, const char* text) {
    noticeFunction.load()(caption, text);
}

}  // namespace comm::platform
