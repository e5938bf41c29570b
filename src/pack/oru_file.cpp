// How a stream reads.
//
// A pack entry is read through three layers, each with one job: the sector
// chain (sector_chain.h) turns the entry's linked sectors into a run of stored
// bytes and reads them straight into the destination; the gzip reader
// (gz_stream.h) turns stored bytes into content, decompressing members or
// passing plain bytes through; this class adds the file-like face and the
// return rules callers know.
//
// Every stream owns its descriptor. The pack opens the data file again for
// each stream instead of sharing one, so streams never disturb each other's
// position and stay valid when the pack closes.
//
// Where the content comes from (a pack entry, a loose file, or memory filled
// from either) is decided once, here in the constructors; every call then
// goes to that source (stream_source.h). A stream without a source fails
// every call.

#include <oru/pack/oru_file.h>

#include "crash/open_files.h"
#include "pack/stream_source.h"
#include "platform/file.h"

using oru::detail::READ_FAILED;
using oru::platform::CFile;

namespace {

CFile AdoptHandle(std::FILE* file)
{
    uint64_t position = 0;
    return CFile::AdoptStdio(file, position);
}

}  // namespace

COruFile::COruFile(CFile&& dataFile, const _oru_pack_file_info& info, uint32_t sectorSize,
                   bool inMemory)
{
    oru::detail::CSourceInfo found;
    m_pSource = oru::detail::OpenEntrySource(std::move(dataFile), info, sectorSize, inMemory, found);
    m_dwFileSize = found.m_nContentSize;
    m_bPreloadFailed = found.m_bPreloadFailed;
    m_bChecksAsItReads = found.m_bChecksAsItReads;
    oru::detail::NoteStreamOpened(this, oru::detail::OPEN_STREAM_PACK_ENTRY, inMemory);
}

// The entry's chain names its own offsets, so the handle's position is not needed.
COruFile::COruFile(std::FILE* file, _oru_pack_file_info& info, uint32_t sectorSize, bool inMemory)
    : COruFile(AdoptHandle(file), info, sectorSize, inMemory)
{
}

COruFile::COruFile(std::FILE* file, bool inMemory)
{
    uint64_t position = 0;
    CFile loose = CFile::AdoptStdio(file, position);
    OpenLoose(std::move(loose), position, inMemory);
}

COruFile::COruFile(CFile&& looseFile, bool inMemory)
{
    OpenLoose(std::move(looseFile), 0, inMemory);
}

void COruFile::OpenLoose(CFile&& loose, uint64_t position, bool inMemory)
{
    oru::detail::CSourceInfo found;
    m_pSource = oru::detail::OpenLooseSource(std::move(loose), position, inMemory, found);
    m_dwFileSize = found.m_nContentSize;
    m_bPreloadFailed = found.m_bPreloadFailed;
    oru::detail::NoteStreamOpened(this, oru::detail::OPEN_STREAM_LOOSE_FILE, inMemory);
}

// Every open stream has a slot in the crash report's table of open files,
// with the position its last read or seek left.
COruFile::~COruFile()
{
    oru::detail::NoteStreamClosed(this);
}

unsigned int COruFile::Fread(void* buffer, unsigned int size, unsigned int count)
{
    if (!m_pSource)
        return READ_FAILED;
    const unsigned int read = m_pSource->Read(buffer, size, count);
    oru::detail::NoteStreamPosition(this, m_pSource->Tell());
    return read;
}

unsigned int COruFile::read(void* buffer, unsigned int length)
{
    return Fread(buffer, length, 1);
}

bool COruFile::Fseek(long offset, int whence)
{
    if (!m_pSource || !m_pSource->Seek(offset, whence))
        return false;
    oru::detail::NoteStreamPosition(this, m_pSource->Tell());
    return true;
}

long COruFile::Ftell()
{
    return m_pSource ? m_pSource->Tell() : -1;
}

int COruFile::Feof()
{
    return m_pSource && m_pSource->AtEnd() ? 1 : 0;
}

uint32_t COruFile::GetFileSize()
{
    return m_dwFileSize;
}

unsigned int oru_fread(void* buffer, unsigned int size, unsigned int count, COruFile* file)
{
    return file ? file->Fread(buffer, size, count) : 0;
}

int oru_fseek(COruFile* file, long offset, int whence)
{
    return file && file->Fseek(offset, whence) ? 0 : 1;
}

int oru_feof(COruFile* file)
{
    return file ? file->Feof() : 0;
}

int oru_fclose(COruFile* file)
{
    if (!file)
        return -1;
    delete file;
    return 0;
}
