#include "platform/user_folders.h"

#include "platform/files.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <errno.h>
#include <unistd.h>

namespace oru::platform {

std::string UserStateFolder()
{
    const char* pProgram = program_invocation_short_name;
    const std::string program = pProgram && *pProgram ? pProgram : "oru_core";
    const char* pState = std::getenv("XDG_STATE_HOME");
    if (pState && pState[0] == '/')
        return std::string(pState) + "/" + program;
    const char* pHome = std::getenv("HOME");
    if (pHome && pHome[0] == '/')
        return std::string(pHome) + "/.local/state/" + program;
    return std::string();
}

bool MakeFolderChain(const char* pathUtf8)
{
    char path[PATH_MAX];
    const size_t length = std::strlen(pathUtf8);
    if (length == 0 || length >= sizeof path)
        return false;
    std::memcpy(path, pathUtf8, length + 1);
    // Each level from the top; levels that exist are passed over.
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != '/')
            continue;
        path[i] = '\0';
        MakeDirectory(path);
        path[i] = '/';
    }
    return MakeDirectory(path);
}

bool IsWritableFolder(const char* pathUtf8)
{
    return IsFolder(pathUtf8) && access(pathUtf8, W_OK | X_OK) == 0;
}

}  // namespace oru::platform

namespace oru::platform {

const char* EnvironmentValue(const char* name)
{
    return std::getenv(name);
}

}  // namespace oru::platform
