#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace ferrovin::test {

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "ferrovin-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = std::string(buffer.data()) + "/";
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave read-only folders behind; give write access back first.
    for (auto it = fs::recursive_directory_iterator(m_path, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

std::string TempDir::makeDir(const std::string& relative) const
{
    fs::create_directories(m_path + relative);
    std::string full = m_path + relative;
    if (full.back() != '/')
        full += '/';
    return full;
}

std::string TempDir::writeFile(const std::string& relative, const std::string& bytes) const
{
    const fs::path full = m_path + relative;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + full.string());
    return full.string();
}

std::string TempDir::writeFile(const std::string& relative, std::size_t size, char fill) const
{
    return writeFile(relative, std::string(size, fill));
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace ferrovin::test
