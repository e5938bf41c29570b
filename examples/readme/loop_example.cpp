#include <oru/timing/profiler.h>
#include <oru/timing/timer.h>
#include <oru/timing/timer_sync.h>

#include <chrono>
#include <thread>

int main()
{
    CTimer timer;
    timer.Init(TIMER_PERFORMANCE);
    CTimerSync sync;
    sync.SetFps(60);
    _ProFileExecute(true);

    int steps = 0;
    for (int frame = 0; frame < 30; ++frame) {
        _ProFileBegin(L"Root");  // a frame is the section "Root"
        timer.Update();
        if (sync.Update(timer.GetElapsedTime())) {
            _ProFileBegin(L"Simulate");
            ++steps;  // game logic for sync.GetFrameTime() seconds
            _ProFileEnd(L"Simulate");
        }
        if (!sync.IsFrameSkip()) {
            _ProFileBegin(L"Render");
            _ProFileEnd(L"Render");
        }
        _ProFileEnd(L"Root");
        std::this_thread::sleep_for(std::chrono::milliseconds(sync.GetSleepTime()));
    }
    _ProFileExport(L"./frame.folded");  // folded stacks for a flame-graph viewer
    _ProFileResult();                   // the table, in ./oru_log/ProFileLog_<date>.txt
    return steps > 0 ? 0 : 1;
}
