#include <oru/log/log_system.h>

#include <list>
#include <string>

int main()
{
    OruCoreLogInitialize(3);  // the library's own log: ./oru_log/OruCoreLog_<date>.txt

    CLogSystem log;
    log.Init(LOG_MODE_FILE, 5, L"./oru_log", L"MyGame", true, true);
    log.Log(1, L"level %ls loaded in %d ms", L"Town", 42);  // passes: 1 <= 5
    log.Log(7, L"too chatty");                                // filtered out

    std::list<std::wstring> lines;
    log.GetLogHistory(lines);  // "Lv1_[hh:mm:ss] : level Town loaded in 42 ms"
    return lines.size() == 1 ? 0 : 1;
}
