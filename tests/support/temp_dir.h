#pragma once

#include <cstdint>
#include <string>

namespace ferrovin::test {

// A fresh folder under the system's temporary folder, removed with its contents
// when the object goes. path() ends in "/".
class TempDir final {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // Creates the folders on the way; returns the full path.
    std::string makeDir(const std::string& relative) const;
    std::string writeFile(const std::string& relative, const std::string& bytes) const;
    std::string writeFile(const std::string& relative, std::size_t size, char fill = 'x') const;

private:
    std::string m_path;
};

std::string readFile(const std::string& path);

} // namespace ferrovin::test
