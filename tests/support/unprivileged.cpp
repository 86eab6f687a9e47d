#include "support/unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ferrovin::test {

bool passesAsUnprivilegedUser(const std::function<bool()>& check)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        constexpr gid_t kNobodyGroup = 65534;
        constexpr uid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGroup) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        bool passed = false;
        try {
            passed = check();
        } catch (...) {
            passed = false;
        }
        ::_exit(passed ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace ferrovin::test
