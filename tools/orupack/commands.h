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

}  // namespace orupack
