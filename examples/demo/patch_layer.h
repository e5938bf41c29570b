#pragma once

// The demo ships its data as a base pack and a small patch pack laid over
// it, as a game that was patched after release does, and reads both as one
// pack set.

#include <cstddef>
#include <string>

struct CPatchReport {
    size_t m_nMerged = 0;    // entries the set shows
    bool m_bChanged = false;  // the changed entry reads the patch's content
    bool m_bAdded = false;    // the added entry is there
    bool m_bRemoved = false;  // the removed entry is gone
    bool m_bKept = false;     // an untouched entry still reads the base's content
};

// Builds the patch pack at `patchBase`: it changes one entry of the base,
// adds one, and removes one through its removal list. False when it cannot
// be built. Builds with a COruPack of its own, so it runs before the game
// opens OruPack(), as any pack build does.
bool BuildPatchPack(const std::wstring& patchBase);

// Reads the base pack with the patch over it, through a COruPackSet.
CPatchReport ReadThroughPackSet(const std::wstring& base, const std::wstring& patchBase);
