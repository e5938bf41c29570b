#pragma once

// Names code from the COFF symbol table that this project's linker leaves in
// every module it makes (unless the module is stripped): the function
// symbol nearest below an address, still mangled. No source lines: the
// table has none. It stands in where the symbol handler cannot read a
// module's debug information.
//
// For the crash report: one look-up at a time in the process (the table is
// read through one static buffer).

#include "native_context.h"

#include <cstdint>

namespace oru::platform {

// The function of the module loaded at `hModule` whose code holds
// `address`: its first byte's address into `start` and its symbol's name
// into `pName` (valid until the next look-up). False when the module keeps
// no symbol table or no function symbol covers the address.
bool FindCoffFunction(HMODULE hModule, uint64_t address, uint64_t& start, const char*& pName);

}  // namespace oru::platform
