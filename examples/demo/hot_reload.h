#pragma once

// Hot reload, as a game sees it: another process (here the demo itself,
// started again as "the artist") saves a new version of an entry while the
// game runs; the game's once-a-frame refresh hears of it, and the game
// reloads the entry and finds the new content.

#include <string>

struct CHotReloadReport {
    std::wstring m_strEntry;
    int m_nFrames = 0;       // frames from the save's end to the callback
    double m_fMs = 0;        // the same in milliseconds
    bool m_bReloaded = false;  // the reloaded entry holds the artist's content
};

// The artist's side, run as its own process: stores a new version of
// `entry` in the pack `packBase` and saves. The process's exit status.
int RunArtistSave(const std::wstring& packBase, const std::wstring& entry);

// The game's side: starts the artist (`self` is this program) and, while it
// works, runs frames of about 16 ms, refreshing the game's pack (OruPack())
// once a frame, until the entry is reported changed or two seconds pass.
CHotReloadReport DemonstrateHotReload(const char* self, const std::wstring& packBase,
                                      const std::wstring& entry);
