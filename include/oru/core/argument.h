#pragma once

#include <oru/core/export.h>

#include <list>
#include <string>

// Appends the tokens of `text` to `tokens` (which is not cleared first).
// Tokens are separated by tabs and semicolons; runs of separators count as
// one, and leading or trailing separators give no empty tokens. Blanks and
// quotes are ordinary characters.
ORU_API void OruParseArgument(std::list<std::wstring>& tokens, const std::wstring& text);
