#include "crash/linux/build_id_support.h"

#include <cstdio>
#include <regex>

namespace oru::test {

std::string ReadBuildId(const std::string& path)
{
    std::string id;
    if (FILE* pPipe = popen(("readelf -n '" + path + "'").c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, pPipe)) {
            std::cmatch match;
            if (std::regex_search(line, match, std::regex("Build ID: ([0-9a-f]+)")))
                id = match[1];
        }
        pclose(pPipe);
    }
    return id;
}

}  // namespace oru::test
