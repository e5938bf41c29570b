// orupack: builds packs from folder trees and looks into them.

#include "commands.h"

#include <cstring>

namespace {

using namespace orupack;

struct CCommand {
    const char* m_pName;
    int (*m_pRun)(const CArgs&);
    std::set<std::string> m_setFlags;
    std::set<std::string> m_setValued;
    const char* m_pUsage;
    const char* m_pHelp;
};

const CCommand COMMANDS[] = {
    {"create", CmdCreate, {"--compress"}, {"--sector-size"},
     "orupack create PACK DIR [--sector-size N] [--compress]",
     "Makes a new pack PACK (PACK.odx and PACK.opk) from every regular file under DIR,\n"
     "replacing any pack already there. Entry names are the paths relative to DIR with\n"
     "'\\' between folders, in lower case.\n"
     "  --sector-size N  payload bytes per sector (default 512)\n"
     "  --compress       store each file gzip-compressed in the ORUGZIP1 wrapper when\n"
     "                   that makes it smaller; readers decompress it transparently\n"},
    {"list", CmdList, {"--long"}, {},
     "orupack list PACK [--long]",
     "Lists the entries: content size, stored size, last write time and name.\n"
     "  --long  adds the first sector and the number of sectors\n"},
    {"info", CmdInfo, {}, {},
     "orupack info PACK",
     "Shows the pack's header and how many sectors are used and free.\n"},
    {"cat", CmdCat, {}, {},
     "orupack cat PACK NAME",
     "Writes the content of entry NAME, decompressed, to standard output.\n"},
    {"extract", CmdExtract, {}, {},
     "orupack extract PACK DIR [NAME...]",
     "Writes every entry (or the NAMEs given) as files under DIR, decompressed.\n"
     "Names that are absolute, hold '..' or would lead through a symbolic link are\n"
     "refused; the other entries are still extracted.\n"},
    {"add", CmdAdd, {}, {"--as"},
     "orupack add PACK FILE... [--as NAME]",
     "Adds files, replacing entries of the same name; the pack is created when missing.\n"
     "A file's entry name is its path as given, with '\\' between folders.\n"
     "  --as NAME  stores the one FILE given under NAME\n"},
    {"rm", CmdRm, {}, {},
     "orupack rm PACK NAME...",
     "Deletes entries. Their sectors become free for later additions.\n"},
    {"verify", CmdVerify, {}, {},
     "orupack verify PACK",
     "Checks that every chain of sectors is well formed and inside the data file, that\n"
     "no sector is in two chains, that the usage table and the header agree with the\n"
     "entries, and that every compressed entry decompresses with good checksums.\n"
     "Exit status 0 only when everything holds.\n"},
    {"mount", CmdMount, {"--background"}, {},
     "orupack mount PACK DIR [--background]",
     "Shows the pack as a read-only folder tree at DIR (FUSE), until it is unmounted\n"
     "with 'fusermount3 -u DIR' or interrupted. '\\' in entry names becomes folders;\n"
     "files have their content size and the entry's times, and read decompressed.\n"
     "Names that cannot be shown here are listed on standard error. A read that\n"
     "meets damaged data fails with an input/output error.\n"
     "  --background  returns once the folder is mounted, serving from the background\n"},
};

void PrintOverview(std::FILE* pOut)
{
    std::fputs("usage: orupack COMMAND ARGS...   (orupack COMMAND --help for details)\n\n", pOut);
    for (const CCommand& command : COMMANDS)
        std::fprintf(pOut, "  %s\n", command.m_pUsage);
    std::fputs("\nPACK is the pack's path without extension (a trailing .odx or .opk is\n"
               "dropped). Exit status: 0 done, 1 a check or a file failed, 2 bad usage.\n",
               pOut);
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

}  // namespace

int main(int argc, char** argv)
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
    for (const CCommand& command : COMMANDS) {
        if (name != command.m_pName)
            continue;
        if (WantsHelp(argc, argv, 2)) {
            std::printf("usage: %s\n\n%s", command.m_pUsage, command.m_pHelp);
            return EXIT_DONE;
        }
        CArgs args;
        if (!ParseArgs(argc, argv, 2, command.m_setFlags, command.m_setValued, args)) {
            std::fprintf(stderr, "usage: %s\n", command.m_pUsage);
            return EXIT_USAGE;
        }
        const int status = command.m_pRun(args);
        if (status == EXIT_USAGE)
            std::fprintf(stderr, "usage: %s\n", command.m_pUsage);
        return status;
    }
    Error("unknown command '%s'", name.c_str());
    PrintOverview(stderr);
    return EXIT_USAGE;
}
