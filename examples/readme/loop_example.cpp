#include <oru/timing/profiler.h>
#include <oru/timing/timer.h>
#include <oru/timing/timer_sync.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main()
{
    CTimer timer;
    timer.Init(TIMER_PERFORMANCE);
    CTimerSync sync;
    sync.SetFps(60);
    _ProFileExecute(true);

    int frames = 0;
    int steps = 0;
    for (float played = 0.0f; played < 1.0f; ++frames) {  // one second of game time
        _ProFileBegin(L"Root");  // a frame is the section "Root"
        timer.Update();
        if (sync.Update(timer.GetElapsedTime())) {
            _ProFileBegin(L"Simulate");
            ++steps;  // game logic for sync.GetFrameTime() seconds
            played += sync.GetFrameTime();
            _ProFileEnd(L"Simulate");
        }
        if (!sync.IsFrameSkip()) {
            _ProFileBegin(L"Render");
            _ProFileEnd(L"Render");
        }
        _ProFileEnd(L"Root");
        // Sleep until the next step is due. Not GetSleepTime: that is the
        // period less the step's frame time, about 0 once the loop keeps pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(sync.GetTimeToNextStep()));
    }
    std::printf("%d frames, %d steps\n", frames, steps);
    _ProFileExport(L"./frame.folded");  // folded stacks for a flame-graph viewer
    _ProFileResult();                   // the table, in ./oru_log/ProFileLog_<date>.txt
    return steps > 0 ? 0 : 1;
}
