#pragma once

// COruFile: the read-only stream over one file's content, either an entry of
// a pack (from COruPack::OpenFile) or a loose file the caller opened. Both
// recognise the "ORUGZIP1" wrapper (magic, 32-bit content length, gzip data)
// and decompress it transparently; other data is passed through unchanged.
//
// With `inMemory` the whole content is read at construction and every later
// call works on memory. The return rules differ between the two modes and
// callers rely on them: in memory mode Fread returns whole ITEMS; streaming,
// it returns BYTES, and 0xFFFFFFFF when the read met damaged data.
//
// A stream has no lock: one thread at a time per stream; different streams,
// even over the same entry, are independent (each has its own descriptor).
// It stays valid after the pack that made it is closed or destroyed.

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>
#include <oru/pack/pack_records.h>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace oru::platform {
class CFile;
}
namespace oru::detail {
class IStreamSource;
class CFolderLayer;
}
namespace oru::tools {
class CPackAccess;
}

class ORU_API COruFile : private COruNonCopyable {
public:
    // A stream over a pack entry. `file` is a handle on the pack's data file
    // that the stream now owns (it is closed here, the stream keeps a
    // duplicate of its descriptor); `info` is copied.
    COruFile(std::FILE* file, _oru_pack_file_info& info, uint32_t sectorSize, bool inMemory);
    // A stream over a loose file opened "rb" at its start; the stream owns
    // `file` from here on.
    COruFile(std::FILE* file, bool inMemory);
    ~COruFile();

    // Reads up to size * count bytes. Memory mode: the number of whole items
    // read (0 when size is 0). Streaming: the number of bytes read, 0 at the
    // end, 0xFFFFFFFF when the data is damaged (or the reader could not be
    // made). A request is capped at 2^31 - 1 bytes.
    unsigned int Fread(void* buffer, unsigned int size, unsigned int count);
    // Fread(buffer, length, 1): 1 or 0 in memory mode, bytes when streaming.
    unsigned int read(void* buffer, unsigned int length);
    // whence: 0 from the start, 1 from the current position, 2 from the end.
    // Streaming streams refuse 2 and targets at or past the end of plain
    // content; memory mode refuses targets before the start or past the end.
    // A failed seek leaves the position as it was, except that a forward
    // seek in compressed data that runs into the end stops there.
    bool Fseek(long offset, int whence);
    // The content position; -1 once the data proved damaged.
    long Ftell();
    // Nonzero at the end of the content. Streaming, only once a read ran
    // into it (or the last gzip member has been finished), as with feof.
    int Feof();
    // The declared length of a wrapped file, else the stored or file length.
    uint32_t GetFileSize();

private:
    friend class COruPack;
    friend class oru::tools::CPackAccess;  // the pack tool's view of the state below
    friend class oru::detail::CFolderLayer;
    // The pack's way in: a descriptor it opened for this stream alone.
    COruFile(oru::platform::CFile&& dataFile, const _oru_pack_file_info& info,
             uint32_t sectorSize, bool inMemory);
    // A pack set's way to a loose file: a descriptor opened at its start.
    COruFile(oru::platform::CFile&& looseFile, bool inMemory);
    void OpenLoose(oru::platform::CFile&& loose, uint64_t position, bool inMemory);

    // Where the content comes from, chosen once by the constructor; null
    // when none could be had, and every call then fails.
    std::unique_ptr<oru::detail::IStreamSource> m_pSource;
    uint32_t m_dwFileSize = 0;
    // The preload met damaged data or could not have its memory: there is no
    // source, and the pack hands out no stream.
    bool m_bPreloadFailed = false;
    // Streaming blocked gzip members: each member is checked before any of
    // its bytes are given out, and a seek decodes one member.
    bool m_bChecksAsItReads = false;
};

// The C-style forms. A null stream gives 0 (oru_fread, oru_feof), 1
// (oru_fseek) or -1 (oru_fclose).
ORU_API unsigned int oru_fread(void* buffer, unsigned int size, unsigned int count, COruFile* file);
// 0 on success, 1 on failure.
ORU_API int oru_fseek(COruFile* file, long offset, int whence);
ORU_API int oru_feof(COruFile* file);
// Destroys the stream and closes its file; 0.
ORU_API int oru_fclose(COruFile* file);
