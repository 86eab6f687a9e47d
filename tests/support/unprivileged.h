#pragma once

#include <functional>

namespace ferrovin::test {

// Runs `check` in a child process that has given up root for the "nobody" user,
// so permission cases can be tested where the suite runs as root (as CI does).
// Returns the child's verdict: true when `check` returned true.
bool passesAsUnprivilegedUser(const std::function<bool()>& check);

} // namespace ferrovin::test
