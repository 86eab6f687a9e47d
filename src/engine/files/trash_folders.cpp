#include "engine/files/trash_folders.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <mntent.h>
#include <pwd.h>
#include <unistd.h>

namespace ferrovin {

namespace {

std::string withSlash(std::string folder)
{
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
        return user->pw_dir;
    return {};
}

std::string homeTrashFolder()
{
    // A relative XDG_DATA_HOME is invalid and ignored, as the base-directory rules say.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return withSlash(dataHome) + "Trash/";
    const std::string home = homeFolder();
    if (home.empty())
        return {};
    return withSlash(home) + ".local/share/Trash/";
}

} // namespace

std::vector<std::string> TrashFolders()
{
    std::vector<std::string> folders;
    if (std::string home = homeTrashFolder(); !home.empty())
        folders.push_back(std::move(home));

    const std::string userSuffix = ".Trash-" + std::to_string(::getuid()) + "/";
    if (FILE* mounts = ::setmntent("/proc/self/mounts", "r")) {
        mntent entry {};
        char buffer[4096];
        while (::getmntent_r(mounts, &entry, buffer, sizeof buffer)) {
            if (entry.mnt_dir == nullptr || entry.mnt_dir[0] != '/')
                continue;
            const std::string top = withSlash(entry.mnt_dir);
            for (const std::string& folder : {top + ".Trash/", top + userSuffix}) {
                if (std::find(folders.begin(), folders.end(), folder) == folders.end())
                    folders.push_back(folder);
            }
        }
        ::endmntent(mounts);
    }
    return folders;
}

} // namespace ferrovin
