#include "platform/replace_file.h"

#include "platform/output_file.h"

#include <cstdio>
#include <unistd.h>

namespace oru::platform {

bool ReplaceFileContents(const std::string& pathUtf8, std::string_view bytes)
{
    const std::string temporary = pathUtf8 + ".tmp" + std::to_string(getpid());
    bool written = false;
    {
        COutputFile file;
        written = file.OpenTruncate(temporary) && file.Write(bytes.data(), bytes.size());
    }
    if (!written || rename(temporary.c_str(), pathUtf8.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace oru::platform
