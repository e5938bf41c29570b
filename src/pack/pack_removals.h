#pragma once

// Removal lists: how a pack laid over others (a patch) removes entries of
// the packs below it.
//
// The list is an ordinary entry under a reserved name, so a pack that holds
// one is still an ordinary pack: a build that knows nothing of pack sets
// reads it as one entry more, and every pack tool keeps working on it. Its
// content is UTF-8 text, one stored entry name a line ('\n', a '\r' before it
// is dropped); empty lines and lines that are not UTF-8 are ignored. A line
// removes the name as written and its folded form, so a hand-written list
// may use capitals.
//
// Every name that begins with RESERVED_PREFIX belongs to the pack set: such
// entries are never shown in a set's merged view.

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace oru::detail {

inline constexpr std::wstring_view RESERVED_PREFIX = L".oru\\";
inline constexpr std::wstring_view REMOVED_ENTRY = L".oru\\removed";

// Removal lists beyond this are not read: a limit on what a damaged or
// hostile pack can make a game allocate.
inline constexpr size_t MAX_REMOVALS_BYTES = 64u << 20;

inline bool IsReservedName(std::wstring_view name)
{
    return name.substr(0, RESERVED_PREFIX.size()) == RESERVED_PREFIX;
}

// Adds the names the list `text` removes to `names`. Throws std::bad_alloc.
void ParseRemovals(std::string_view text, std::unordered_set<std::wstring>& names);

// The text of a removal list naming `names`. False when a name cannot be a
// line of it (it holds a line break, or has no UTF-8 form).
bool FormatRemovals(const std::vector<std::wstring>& names, std::string& text);

}  // namespace oru::detail
