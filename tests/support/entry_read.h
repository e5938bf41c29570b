#pragma once

// An entry's content read whole through a pack or a pack set.

#include <oru/pack/oru_file.h>

#include <optional>
#include <string>

namespace oru::test {

// What `source.OpenFile(name, inMemory)` gives when read to the end (one
// byte more is asked for than the size says); nothing when it does not open.
template <class TSource>
std::optional<std::string> ReadEntry(TSource& source, const std::wstring& name, bool inMemory)
{
    COruFile* pFile = source.OpenFile(name, inMemory);
    if (!pFile)
        return std::nullopt;
    std::string out(pFile->GetFileSize() + 1, '\0');
    out.resize(pFile->Fread(out.data(), 1, static_cast<unsigned int>(out.size())));
    oru_fclose(pFile);
    return out;
}

}  // namespace oru::test
