#include <oru/log/exception_handler.h>

#include <cstring>

// The crash handler is installed when the library loads. A game raises its
// own fatal errors through it; the report names this function and line.
int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--fail") == 0)
        OruAssertionFailure(L"health >= 0 (health=%d)", -5);
    return 0;
}
