// orupack verify: the library's full pack check, its problems on standard
// error, a progress bar while it runs, and a one-line verdict.

#include "commands.h"
#include "pack_view.h"

#include <cinttypes>

namespace orupack {

namespace {

bool VerifyPack(const std::string& base)
{
    oru::tools::CPackCheckResult result;
    {
        std::unique_ptr<CProgress> pProgress;  // made once the total is known
        oru::tools::CPackCheckHooks hooks;
        hooks.m_fnProblem = [&base](const std::string& line) {
            std::fprintf(stderr, "%s: %s\n", base.c_str(), line.c_str());
        };
        hooks.m_fnProgress = [&pProgress](uint64_t bytes, uint64_t total) {
            if (!pProgress)
                pProgress = std::make_unique<CProgress>("verify", total);
            pProgress->Advance(bytes);
        };
        result = oru::tools::CheckPack(base, hooks);
    }
    if (result.m_nProblems > 0) {
        std::fprintf(stderr, "%s: %" PRIu64 " problem%s found\n", base.c_str(), result.m_nProblems,
                     result.m_nProblems == 1 ? "" : "s");
        return false;
    }
    std::printf("%s: ok, %" PRIu64 " entries in %" PRIu32 " sectors\n", base.c_str(),
                result.m_nEntries, result.m_nSectors);
    // Not damage: what an edit that stopped part-way left, which the next
    // create, add or rm takes away.
    if (result.m_nBytesPastSectors > 0)
        std::printf("%s: note: %" PRIu64 " bytes after the last sector of the data file, left by an "
                    "edit that stopped before its save\n",
                    base.c_str(), result.m_nBytesPastSectors);
    for (const std::string& path : Leftovers(base))
        std::printf("%s: note: %s was left by a command that stopped part-way\n", base.c_str(),
                    path.c_str());
    return true;
}

}  // namespace

// Several packs are each checked whole; their merged view is then opened as
// a game would open it, and its size shown.
int CmdVerify(const CArgs& args)
{
    const std::vector<std::string> bases = ViewBases(args, args.m_vecWords.size());
    bool ok = true;
    for (const std::string& base : bases)
        ok = VerifyPack(base) && ok;
    if (ok && bases.size() > 1) {
        const CPackView view(bases);
        if (!view.IsOpen())
            return EXIT_FAILED;
        std::printf("%s: merged view of %zu entries\n", view.Name().c_str(), view.Entries().size());
    }
    return ok && std::fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace orupack
