// The process's rights on Windows: an elevated administrator may open raw
// sockets; giving up means disabling every privilege of the process token.
#include "platform/link/privileges.h"

#include <windows.h>

#include <string>

namespace ps::platform {
namespace {

class WindowsPrivileges : public Privileges {
 public:
  bool HasNetRaw() override {
    // Raw sockets need membership of the local Administrators group, in
    // effect (an elevated token).
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &admins)) {
      return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
  }

  Status DropAll() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      return Fail("opening the process token");
    }
    const BOOL ok = AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr);
    CloseHandle(token);
    return ok ? Status::Ok() : Fail("disabling the token's privileges");
  }

 private:
  static Status Fail(const char* step) {
    return Status::Failure(std::string(step) + ": error " + std::to_string(GetLastError()));
  }
};

}  // namespace

Privileges& SystemPrivileges() {
  static WindowsPrivileges privileges;
  return privileges;
}

}  // namespace ps::platform
