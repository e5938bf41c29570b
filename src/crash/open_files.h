#pragma once

// The pack streams and packs a game has open, kept for its crash report in
// fixed tables that the report reads without a lock. A stream or pack
// enters when it opens and leaves when it closes; its slot holds its name,
// its kind and, for a stream, the position its last read or seek left.
// Beyond the tables' size the report counts what it could not name.
//
// Each call is thread-safe and takes no lock; recording a position costs a
// slot look-up by address.

#include "crash/crash_report.h"

#include <string_view>

namespace oru::detail {

enum eOpenStreamKind : unsigned char {
    OPEN_STREAM_PACK_ENTRY,
    OPEN_STREAM_LOOSE_FILE,
};

void NoteStreamOpened(const void* pStream, eOpenStreamKind kind, bool inMemory);
// The name the game opened the stream by, for the report; cut when long.
void NoteStreamName(const void* pStream, std::wstring_view name);
void NoteStreamPosition(const void* pStream, long position);
void NoteStreamClosed(const void* pStream);

// `pathBase` is the pack's base path (without ".odx"/".opk"). Opening a pack
// again replaces what was noted for it.
void NotePackOpened(const void* pPack, std::wstring_view pathBase, bool writable);
void NotePackClosed(const void* pPack);

// "Pack : <path> (read)" and "Stream : <name>, <kind>, position <n>" lines,
// or "(none)". Allocates nothing and takes no lock.
void AppendOpenFiles(CReportText& report);

}  // namespace oru::detail
