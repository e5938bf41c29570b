#pragma once

// The orupack commands. Each takes its parsed arguments and returns the exit
// status: EXIT_DONE, EXIT_FAILED, or EXIT_USAGE when the words do not fit.

#include "tool_support.h"

namespace orupack {

int CmdCreate(const CArgs& args);
int CmdAdd(const CArgs& args);
int CmdRm(const CArgs& args);
int CmdList(const CArgs& args);
int CmdInfo(const CArgs& args);
int CmdCat(const CArgs& args);
int CmdExtract(const CArgs& args);
int CmdVerify(const CArgs& args);
int CmdMount(const CArgs& args);
int CmdDiff(const CArgs& args);

// Opens the pack at `base` for a create, under the editing lock and emptied
// in memory (pack_build.cpp): an existing pack keeps its sector size, which
// `sectorSize` then receives (a different one asked for, `sectorSizeGiven`,
// is refused); a new one is saved empty at once. `existed` tells which. A
// message and false when it cannot be had.
bool OpenForCreate(COruPack& pack, const std::string& base, uint32_t& sectorSize, bool sectorSizeGiven,
                   bool& existed);

}  // namespace orupack
