// oru-demo: the sample game host. It starts the library the way a game does
// and prints what it did.

#include <oru/oru_core.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>

int main(int argc, char** argv)
{
    std::wstring assets = L"examples/assets";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--assets") == 0)
            assets = OruCharToWChar(65001, argv[i + 1]) ? OruCharToWChar(65001, argv[i + 1]) : L"";

    OruDate date{};
    OruTime time{};
    OruGetDateInfo(date);
    OruGetTimeInfo(time);
    std::printf("oru-demo: started %04d-%02d-%02d %02d:%02d:%02d\n", date.year, date.month,
                date.day, time.hour, time.minute, time.second);

    std::list<std::wstring> args;
    OruParseArgument(args, L"window=1280x720;fullscreen=0\tvsync=1");
    std::printf("oru-demo: %zu start-up arguments parsed\n", args.size());
    std::printf("oru-demo: assets in %s\n", OruWCharToChar(65001, assets.c_str()));
    return 0;
}
