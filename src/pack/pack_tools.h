#pragma once

// What the pack tools (orupack) use of the library beyond its public
// interface, and nothing more. A tool includes this header and the public
// ones; it never includes another private header nor derives from a library
// class to reach its members. Everything below is internal: it may change
// with the library, and the tools are built with it.
//
// Two kinds of things are here. The pack's own state and stored bytes are
// reached through functions made for the tools (CPackAccess, ReadStoredBytes,
// CDataFile). The library's helpers that a tool shares rather than copies
// (name folding, text conversion, the index parser, the pack check, the
// wrapper's layout, the platform's file calls) are named one by one, so the
// list below is the whole of what tools depend on.

#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>

#include "core/utf8.h"
#include "pack/gz_blocks.h"
#include "pack/pack_check.h"
#include "pack/pack_format.h"
#include "pack/pack_index.h"
#include "pack/pack_removals.h"
#include "platform/clock.h"
#include "platform/fault_points.h"
#include "platform/file.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "platform/program.h"
#include "platform/termination.h"
#include "platform/thread_id.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace oru::tools {

// What a tool may ask of a COruPack that its public interface does not show.
class CPackAccess {
public:
    // True while a pack opened for writing holds its data file, that is,
    // while entries can be added and removed.
    static bool HoldsDataFile(const COruPack& pack) { return pack.m_pDataFile != nullptr; }
    // True after CloseOruPack when the changed index could not be saved (the
    // pack keeps its previous index).
    static bool IndexUnsaved(const COruPack& pack) { return pack.m_bModified; }
    // Stores `size` bytes of content under `name` as AddFileData does, from
    // `pSlots`: SectorsForSize(size, sector_size) slots laid out as the data
    // file holds sectors (SECTOR_LINK_BYTES of links, then sector_size bytes
    // of payload), the payloads filled. The links are written into the slots
    // and the slots written out as they are: a tool that reads its sources
    // into slots spares the copy. False, nothing changed, as AddFileData.
    static COruFile* NewEntryStream(platform::CFile&& dataFile, const _oru_pack_file_info& info,
                                    uint32_t sectorSize)
    {
        return COruPack::NewEntryStream(std::move(dataFile), info, sectorSize);
    }
    // See COruPack::DropAllEntries, SaveNow and AbandonChanges.
    static bool DropAllEntries(COruPack& pack) { return pack.DropAllEntries(); }
    static bool SaveNow(COruPack& pack) { return pack.SaveNow(); }
    static void AbandonChanges(COruPack& pack) { pack.AbandonChanges(); }
    // True when a streaming `file` checks each piece of its content before
    // giving it out and seeks cheaply (blocked gzip members).
    static bool ChecksAsItReads(const COruFile& file) { return file.m_bChecksAsItReads; }
    // A descriptor of the pack's own, marked as read (see pack_follow.h).
    static platform::CFile MarkedDataFile(const COruPack& pack) { return pack.MarkedDataFile(); }
    // The pack of a set's layer at `position` (0 the lowest); null for a
    // folder of loose files.
    static const COruPack* LayerPack(const COruPackSet& set, uint32_t position);
    static uint32_t SectorSize(const COruPack& pack) { return pack.m_header.sector_size; }
    static bool AddLaidOut(COruPack& pack, const std::wstring& name, uint8_t* pSlots,
                           uint32_t size, const platform::CFileTimes& times)
    {
        return pack.AddLaidOut(name, pSlots, size, times);
    }
};

// A pack's data file, for reading: the descriptor the pack marked as read
// before it loaded its index (see pack_follow.h), so that editors leave the
// sectors of that index alone while the tool reads. Streams over its entries
// take descriptors of their own, duplicated from this one (cheaper than
// opening the file again). Only a regular file is opened, without waiting: a
// FIFO in its place is refused instead of hanging the tool.
class CDataFile {
public:
    using CStream = std::unique_ptr<COruFile, int (*)(COruFile*)>;

    // The data file of `pack`, opened for reading.
    explicit CDataFile(const COruPack& pack);

    bool IsOpen() const { return m_file.IsOpen(); }
    // A stream over an entry's content, by its record (so that names stored
    // in any case can be read). Null when no descriptor can be had.
    CStream OpenEntry(const _oru_pack_file_info& info, uint32_t sectorSize) const;
    // Reads up to `size` of an entry's stored bytes (as written, wrapper and
    // all) at stored offset `offset`, following its sector chain. Returns
    // the bytes read: fewer at the end of the entry or where the chain
    // breaks, 0 when no descriptor can be had.
    size_t ReadStored(const _oru_pack_file_info& info, uint32_t sectorSize, uint64_t offset, void* pDst,
                      size_t size) const;

private:
    platform::CFile m_file;
};

// Shared helpers, each documented where it is defined.
using detail::CBlockWriter;
using detail::CheckPack;
using detail::CIndexTables;
using detail::CPackCheckHooks;
using detail::CPackCheckResult;
using detail::CWrapperPrefix;
using detail::DataFileFits;
using detail::FoldName;
using detail::FormatRemovals;
using detail::IsReservedName;
using detail::REMOVED_ENTRY;
using detail::FromUtf8;
using detail::LoadU32;
using detail::PackEditedElsewhere;
using detail::ParseIndex;
using detail::ParseWrapperPrefix;
using detail::ReadWholeFile;
using detail::SECTOR_LINK_BYTES;
using detail::SectorsForSize;
using detail::ToUtf8;
using detail::ToUtf8Lossy;
using detail::WRAPPER_MAGIC;
using detail::WRAPPER_PREFIX_BYTES;
using detail::WriteWrapperPrefix;
using platform::CatchTerminationRequests;
using platform::CFile;
using platform::EndBySignal;
using platform::TerminationRequested;
using platform::ArmFaultPoint;
using platform::eFaultAction;
using platform::FaultPointsReached;
using platform::CFileTimes;
using platform::CFolderEntry;
using platform::CReadPiece;
using platform::CurrentGroupId;
using platform::CurrentProcessId;
using platform::CurrentUserId;
using platform::EntryKind;
using platform::eEntryKind;
using platform::IsAbsolutePath;
using platform::IsFolder;
using platform::IsMountPoint;
using platform::LinkTarget;
using platform::ListFolder;
using platform::MakeDirectory;
using platform::MakeHardLink;
using platform::MakeSymbolicLink;
using platform::MakeUniqueFolder;
using platform::PathMissing;
using platform::PathSeparators;
using platform::ProgramArgumentsUtf8;
using platform::UseBinaryStandardStreams;
using platform::ReadableFileSize;
using platform::RemoveFile;
using platform::RemoveTree;
using platform::ResolvedPath;
using platform::RenameFile;
using platform::StandardErrorIsTerminal;
using platform::COutputFile;
using platform::CLocalTime;
using platform::CUnixTime;
using platform::LocalTimeAt;
using platform::ClearLastFileError;
using platform::FileSizeAndTimes;
using platform::FromFileTime;
using platform::LastFileError;

}  // namespace oru::tools
