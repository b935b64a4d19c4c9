// The security of a folder that only this user may use (the flasher's run folders, a station's
// folder): nothing inherited from the folder it is made in. Attributes() is null (the folder
// then takes its parent's, which is this user's temporary folder) when the user's identity
// cannot be read.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "source/platform/win32/UniqueHandle.h"

namespace flasher_os {

class OwnerOnly {
  public:
    OwnerOnly() {
        HANDLE opened = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return;
        const UniqueHandle token(opened);
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> user(size);
        char* sid = nullptr;
        if (size > 0 && GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
            const std::string sddl = std::string("D:P(A;OICI;FA;;;") + sid + ")";
            LocalFree(sid);
            ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                 &descriptor_, nullptr);
        }
    }
    ~OwnerOnly() {
        if (descriptor_ != nullptr) LocalFree(descriptor_);
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    SECURITY_ATTRIBUTES* Attributes() {
        if (descriptor_ == nullptr) return nullptr;
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return &attributes_;
    }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace flasher_os
