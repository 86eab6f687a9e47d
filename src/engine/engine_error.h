#pragma once

#include <stdexcept>
#include <string>

namespace ferrovin {

// The one exception type the engine throws. Its message is the text a front end
// shows the user as it stands ("Unable to write to ...", "Unknown picture file
// extension (.tifx)"). Anything else escaping the engine is a bug (or bad_alloc).
class EngineError final : public std::runtime_error {
public:
    explicit EngineError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace ferrovin
