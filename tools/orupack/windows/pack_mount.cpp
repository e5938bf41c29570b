// `orupack mount` serves a pack as a folder through the kernel's user-space
// file systems (FUSE), which this system does not have.

#include "commands.h"

#include <cstdio>

namespace orupack {

int CmdMount(const CArgs&)
{
    std::fputs("orupack: mount needs Linux (FUSE 3); use extract or cat on this system\n", stderr);
    return EXIT_FAILED;
}

}  // namespace orupack
