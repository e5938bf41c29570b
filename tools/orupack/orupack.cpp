// orupack: builds packs from folder trees and looks into them.

#include "commands.h"

#include <oru/core/version.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace orupack;

// Every command's usage line (without the program's name) and its help,
// one paragraph each, in the order the overview lists them.
constexpr const char* HELP = R"(create PACK DIR [--sector-size N] [--compress] [--follow-links]
Makes a new pack PACK (PACK.odx and PACK.opk) from every regular file under DIR.
A pack already there is rebuilt in place, keeping its sector size; readers that
have it open go on reading the old content. Entry names are the paths relative
to DIR with '\' between folders, in lower case.
  --sector-size N  payload bytes per sector, 64 to 65536 (default 512; a new
                   pack only)
  --compress       store each file gzip-compressed in the ORUGZIP1 wrapper when
                   that makes it smaller (blocked members of 256 KiB, compressed
                   on every core); readers decompress it transparently
  --follow-links   stores what symbolic links lead to (a link to a folder that
                   holds it is skipped); without it links are skipped and counted

list PACK... [--layer PACK]... [--long]
Lists the entries: content size, stored size, last write time and name. Several
packs, lowest first, are listed as one merged view (see orupack --help).
  --long  adds the first sector and the number of sectors (and, with several
          packs, the pack each entry comes from)

info PACK
Shows the pack's header and how many sectors are used and free.

cat PACK NAME [--layer PACK]...
Writes the content of entry NAME, decompressed, to standard output.

extract PACK DIR [NAME...] [--layer PACK]...
Writes every entry (or the NAMEs given) as files under DIR, decompressed.
Names that are absolute, hold '..' or would lead through a symbolic link are
refused; the other entries are still extracted.

add PACK [-C DIR] PATH... [--as NAME] [--compress] [--follow-links]
Adds files, and folders with every file under them, replacing entries of the
same name; the pack is created when missing. An entry name is the file's path
relative to the base folder (the current one, or DIR), with '\' between
folders, as create names a tree's files.
  -C DIR          finds each PATH in DIR and names it relative to DIR
  --as NAME       stores the one FILE given under NAME
  --compress      stores files compressed where that makes them smaller, as create
  --follow-links  follows symbolic links in folders, as create

rm PACK NAME...
Deletes entries. Their sectors become free for later additions.

verify PACK... [--layer PACK]...
Checks that every chain of sectors is well formed and inside the data file, that
no sector is in two chains, that the usage table and the header agree with the
entries, and that every compressed entry decompresses with good checksums.
Several packs are each checked, and the size of their merged view is shown.
Exit status 0 only when everything holds.

mount PACK DIR [--layer PACK]... [--background]
Shows the pack (or the merged view of the packs) as a read-only folder tree at
DIR (FUSE), following saves to any of them, until it is unmounted
with 'fusermount3 -u DIR' or interrupted. '\' in entry names becomes folders;
files have their content size and the entry's times, and read decompressed.
Names that cannot be shown here are listed on standard error. A read that
meets damaged data fails with an input/output error.
  --background  returns once the folder is mounted, serving from the background

diff OLD NEW --out PATCH [--layer PACK]... [--check-content]
Makes the patch pack PATCH (replacing any pack there) that turns OLD into NEW
when a game reads OLD with PATCH over it: every entry of NEW whose stored bytes
differ from OLD's or that OLD lacks, as NEW stores it, and a removal list
(the entry .oru\removed) naming every entry of OLD that NEW lacks. An entry
with the same size, creation time and write time in both is taken as unchanged
without reading it. With --layer, OLD is OLD with those packs over it, as a
game that shipped patches reads it.
  --out PATCH      the patch pack to write
  --check-content  compares the bytes of every entry, also of those whose size
                   and times agree

LAYERS: --layer PACK lays a pack over the ones before it (it may be given many
times). A name is read from the highest pack that holds it, unless a pack above
that one lists it in its removal list; the removal lists themselves are not
shown. A game reads the same view through COruPackSet.
)";

constexpr size_t MANY = SIZE_MAX;

// A command: its name, what runs it, how many words it takes, its --flags
// and its --options that take a value.
struct CCommand {
    const char* m_pName;
    int (*m_pRun)(const CArgs&);
    size_t m_nMinWords;
    size_t m_nMaxWords;
    std::set<std::string> m_setFlags;
    std::set<std::string> m_setValued;
};

const CCommand COMMANDS[] = {
    {"create", CmdCreate, 2, 2, {"--compress", "--follow-links"}, {"--sector-size"}},
    {"list", CmdList, 1, MANY, {"--long"}, {"--layer"}},
    {"info", CmdInfo, 1, 1, {}, {}},
    {"cat", CmdCat, 2, 2, {}, {"--layer"}},
    {"extract", CmdExtract, 2, MANY, {}, {"--layer"}},
    {"add", CmdAdd, 2, MANY, {"--compress", "--follow-links"}, {"--as", "-C"}},
    {"rm", CmdRm, 2, MANY, {}, {}},
    {"verify", CmdVerify, 1, MANY, {}, {"--layer"}},
    {"mount", CmdMount, 2, 2, {"--background"}, {"--layer"}},
    {"diff", CmdDiff, 2, 2, {"--check-content"}, {"--out", "--layer"}},
};

// The paragraph of HELP for `name`: its usage line, then its help.
std::string_view Paragraph(const std::string& name)
{
    const std::string_view help(HELP);
    size_t start = 0;
    while (start < help.size()) {
        const size_t end = std::min(help.find("\n\n", start), help.size());
        const std::string_view paragraph = help.substr(start, end - start + 1);
        if (paragraph.substr(0, name.size() + 1) == name + " " || paragraph == name + "\n")
            return paragraph;
        start = end + 2;
    }
    return {};
}

// "orupack" and the command's usage line, after `pPrefix`.
void PrintUsage(std::FILE* pOut, const char* pPrefix, const std::string& name)
{
    const std::string_view paragraph = Paragraph(name);
    const std::string_view usage = paragraph.substr(0, paragraph.find('\n'));
    std::fprintf(pOut, "%sorupack %.*s\n", pPrefix, static_cast<int>(usage.size()), usage.data());
}

void PrintOverview(std::FILE* pOut)
{
    std::fputs("usage: orupack COMMAND ARGS...   (orupack COMMAND --help for details;\n"
               "       orupack --version)\n\n", pOut);
    for (const CCommand& command : COMMANDS)
        PrintUsage(pOut, "  ", command.m_pName);
    std::fputs("\nPACK is the pack's path without extension (a trailing .odx or .opk is\n"
               "dropped). Exit status: 0 done, 1 a check or a file failed, 2 bad usage.\n\n",
               pOut);
    const std::string_view layers = Paragraph("LAYERS:");
    std::fwrite(layers.data(), 1, layers.size(), pOut);
}

bool WantsHelp(int argc, char** argv, int first)
{
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    }
    return false;
}

// For the tool's own tests: ORUPACK_FAULT_POINT=N:fail (or N:kill) makes
// the N-th change to a file on disk fail as a full disk would (or kills the
// process right there); N=0 only counts them, and the count is printed on
// standard error as the command ends. Unset, nothing changes.
struct CFaultPointArming {
    bool m_bCounting = false;

    CFaultPointArming()
    {
        const char* pSetting = std::getenv("ORUPACK_FAULT_POINT");
        if (!pSetting)
            return;
        char* pEnd = nullptr;
        const unsigned long long nth = std::strtoull(pSetting, &pEnd, 10);
        const bool kill = std::strcmp(pEnd, ":kill") == 0;
        oru::tools::ArmFaultPoint(nth, kill ? oru::tools::eFaultAction::KILL : oru::tools::eFaultAction::FAIL);
        m_bCounting = true;
    }
    ~CFaultPointArming()
    {
        if (m_bCounting)
            std::fprintf(stderr, "fault points: %llu\n",
                         static_cast<unsigned long long>(oru::tools::FaultPointsReached()));
    }
};

int RunCommand(int argc, char** argv);

}  // namespace

// Output that could not be written is a failure of every command, as for
// cat: `orupack list PACK > /dev/full` must not report success.
int main(int argc, char** argv)
{
    const CFaultPointArming faults;
    // The same bytes out and the same words in on every system: UTF-8
    // arguments, no line-end translation.
    oru::tools::UseBinaryStandardStreams();
    std::vector<std::string> arguments = oru::tools::ProgramArgumentsUtf8(argc, argv);
    std::vector<char*> argvUtf8;
    for (std::string& argument : arguments)
        argvUtf8.push_back(argument.data());
    argvUtf8.push_back(nullptr);
    const int status = RunCommand(argc, argvUtf8.data());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Error("standard output: %s", std::strerror(errno));
        return status == EXIT_USAGE ? EXIT_USAGE : EXIT_FAILED;
    }
    return status;
}

namespace {

int RunCommand(int argc, char** argv)
{
    if (argc < 2) {
        PrintOverview(stderr);
        return EXIT_USAGE;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintOverview(stdout);
        return EXIT_DONE;
    }
    if (name == "--version") {
        std::printf("orupack %s\n", OruCoreVersionString());
        return EXIT_DONE;
    }
    for (const CCommand& command : COMMANDS) {
        if (name != command.m_pName)
            continue;
        if (WantsHelp(argc, argv, 2)) {
            const std::string_view paragraph = Paragraph(name);
            const size_t lineEnd = paragraph.find('\n') + 1;
            PrintUsage(stdout, "usage: ", name);
            std::printf("\n%.*s", static_cast<int>(paragraph.size() - lineEnd),
                        paragraph.data() + lineEnd);
            return EXIT_DONE;
        }
        CArgs args;
        int status = EXIT_USAGE;
        if (ParseArgs(argc, argv, 2, command.m_setFlags, command.m_setValued, args) &&
            args.m_vecWords.size() >= command.m_nMinWords &&
            args.m_vecWords.size() <= command.m_nMaxWords)
            status = command.m_pRun(args);
        if (status == EXIT_USAGE)
            PrintUsage(stderr, "usage: ", name);
        return status;
    }
    Error("unknown command '%s'", name.c_str());
    PrintOverview(stderr);
    return EXIT_USAGE;
}

}  // namespace
