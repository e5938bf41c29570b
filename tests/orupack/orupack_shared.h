#pragma once

// The fixture of the tests of a pack that a game and the tool share.

#include <oru/pack/oru_pack.h>

#include "orupack_run.h"
#include "pack/pack_check.h"
#include "support/wide_text.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace oru::test {

// The whole content of `name`, or nothing when it cannot be opened or its
// read fails; a read that ends early counts as a failure too.
inline std::optional<std::string> ReadEntry(COruPack& pack, const std::wstring& name, bool inMemory)
{
    std::unique_ptr<COruFile, int (*)(COruFile*)> pFile(pack.OpenFile(name, inMemory), oru_fclose);
    if (!pFile)
        return std::nullopt;
    std::string bytes(pFile->GetFileSize() + 1, '\0');
    const unsigned int got = pFile->Fread(bytes.data(), 1, static_cast<unsigned int>(bytes.size()));
    if (got != pFile->GetFileSize())
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}

class OrupackShared : public ::testing::Test {
protected:
    COrupackRun Run(const std::string& args, const EnvChanges& env = {}) const
    {
        return RunOrupack(args, env);
    }
    std::string Base() const { return m_dir.File("pack"); }
    // A tree of the named entries at the given versions, for create.
    std::string Tree(const std::string& folder, const std::map<std::string, int>& versions) const
    {
        fs::remove_all(m_dir.Path() / folder);
        fs::create_directories(m_dir.Path() / folder);
        for (const auto& [name, version] : versions)
            Spit(m_dir.Path() / folder / name, Version(name, version));
        return m_dir.File(folder);
    }
    // The pack's entries and contents as the library reads them; empty when
    // it cannot be opened.
    std::map<std::string, std::string> Contents() const
    {
        std::map<std::string, std::string> contents;
        COruPack pack;
        if (!pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512))
            return contents;
        for (const auto& [name, info] : *pack.GetFileList())
            contents[std::string(name.begin(), name.end())] = ReadEntry(pack, name, false).value_or("?");
        return contents;
    }
    static std::map<std::string, std::string> Expected(const std::map<std::string, int>& versions)
    {
        std::map<std::string, std::string> contents;
        for (const auto& [name, version] : versions)
            contents[name] = Version(name, version);
        return contents;
    }
    uint64_t Problems() const
    {
        return oru::detail::CheckPack(Base(), {}).m_nProblems;
    }

    CTempDir m_dir;
};

}  // namespace oru::test
