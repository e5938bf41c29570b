#pragma once

// What every orupack command shares: its arguments, its messages, the pack
// it works on, and the progress bar.

#include <oru/core/non_copyable.h>
#include <oru/pack/oru_pack.h>

#include "core/printf_format.h"
#include "pack/pack_tools.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace orupack {

enum eExit : int {
    EXIT_DONE = 0,     // everything asked for was done and every check held
    EXIT_FAILED = 1,   // a check failed or a file could not be handled
    EXIT_USAGE = 2,    // the command line was wrong
};

// A command line after the command name: positional words, and options of
// the forms --flag and --option VALUE.
struct CArgs {
    std::vector<std::string> m_vecWords;
    std::set<std::string> m_setFlags;
    std::map<std::string, std::string> m_mapValues;
    std::vector<std::string> m_vecLayers;  // --layer PACK, in the order given

    bool Has(const std::string& flag) const { return m_setFlags.count(flag) != 0; }
};

// Parses argv[first..]. `flags` and `valued` name the options the command
// takes (a short one such as "-C" too); anything else starting with "--" is
// refused with a message. "--" ends the options. --layer may be given again
// and again.
bool ParseArgs(int argc, char** argv, int first, const std::set<std::string>& flags,
               const std::set<std::string>& valued, CArgs& args);

// "orupack: " and the message on standard error.
void Error(const char* format, ...) ORU_PRINTF_FORMAT(1, 2);

// The base path of a pack as the library wants it: PACK, or PACK without a
// trailing ".odx" or ".opk".
std::string PackBase(const std::string& arg);
std::wstring Wide(const std::string& utf8);     // invalid UTF-8 gives an empty string
std::string Narrow(const std::wstring& wide);   // for messages; never fails

// Opens the pack for writing, creating it when `mayCreate` and it is absent.
// A message and false when it cannot be edited.
bool OpenForWriting(COruPack& pack, const std::string& base, bool mayCreate, uint32_t sectorSize);
// Closes a pack opened for writing; a message and false when its index could
// not be saved.
bool CloseAfterWriting(COruPack& pack, const std::string& base);

// What commands that stopped before their end (killed, a power cut) may have
// left beside the pack at `base`: a half-saved index, a staging folder, a
// pack an earlier release built beside the old one. Their paths.
std::vector<std::string> Leftovers(const std::string& base);
// Removes them; only for a command that holds the pack's editing lock, so
// that none of them belongs to a command still running.
void RemoveLeftovers(const std::string& base);

using oru::tools::CDataFile;

// A one-line progress bar on standard error, drawn only when standard error
// is a terminal, and at most a few times a second.
class CProgress : private COruNonCopyable {
public:
    CProgress(const char* pLabel, uint64_t total);
    // A count of what is done, for work whose total is not known ahead.
    explicit CProgress(const char* pLabel) : CProgress(pLabel, UNKNOWN_TOTAL) {}
    ~CProgress();

    void Advance(uint64_t amount);

private:
    void Draw();

    static constexpr uint64_t UNKNOWN_TOTAL = UINT64_MAX;

    const char* m_pLabel;
    uint64_t m_nTotal;
    uint64_t m_nDone = 0;
    uint64_t m_nLastDrawMs = 0;
    bool m_bActive;
};


// `path` without the folder separators at its end; a root ("/", "C:\")
// keeps its own.
std::string WithoutTrailingSeparators(std::string path);

// Makes `path` and the folders above it; true when it is a folder at the end.
bool MakeFolders(const std::string& path);

// The key under which `name` is stored in `pack`: the name folded, or, when
// that is absent and the name uses '/', the same with '\' separators. Empty
// when neither is there.
std::wstring FindEntry(COruPack& pack, const std::string& name);
// The same for any list of entries, which `holds` asks.
std::wstring FindEntry(const std::function<bool(const std::wstring&)>& holds, const std::string& name);

// The local time of a FILETIME count as "YYYY-MM-DD HH:MM:SS".
std::string FormatFileTime(uint64_t fileTime);
// A FILETIME count as a Unix time; times before 1970 become 1970.
timespec FileTimeToTimespec(uint64_t fileTime);


// The content length an entry's wrapper declares; false when the stored
// bytes do not start with the "ORUGZIP1" wrapper (or cannot be read).
bool WrappedLength(const CDataFile& data, const _oru_pack_file_info& info, uint32_t sectorSize,
                   uint32_t& length);

}  // namespace orupack
