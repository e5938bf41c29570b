#include "platform/program.h"

namespace oru::platform {

std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

void UseBinaryStandardStreams()
{
    // Linux streams never translate line ends.
}

}  // namespace oru::platform
