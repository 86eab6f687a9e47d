#pragma once

#include <stdexcept>
#include <string>

namespace ferrovin {

// The one exception type the engine throws. Its message is the text a front end
// shows the user as it stands ("Unable to write to ...", "Unknown picture file
// extension (.tifx)"). Anything else escaping the engine is a bug (or bad_alloc).
class EngineError final : public std::runtime_error {
public:
    explicit EngineError(const std::string& message, int systemError = 0)
        : std::runtime_error(message), m_systemError(systemError)
    {
    }

    // The errno of the system call that failed, so a front end can tell a file
    // it could not read from one it could not make sense of; 0 for the latter.
    int systemError() const noexcept { return m_systemError; }

private:
    int m_systemError;
};

} // namespace ferrovin
