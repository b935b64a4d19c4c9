#include <atomic>
#include <cstdio>

#include "comm/platform/Sync.h"

namespace comm::platform {

namespace {

void WriteToStandardError(const char* caption, const char* text) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

std::atomic<NoticeFunction> noticeFunction{&WriteToStandardError};

}  // namespace

void SetNoticeFunction(NoticeFunction function) {
    noticeFunction.store(function != nullptr ? function : &WriteToStandardError);
}

void ShowNotice(const char* caption, const char* text) {
    noticeFunction.load()(caption, text);
}

}  // namespace comm::platform
