// Editing against a model: random additions (new names and replacements),
// deletions, saves and reopenings on packs with small random sectors. After
// every step each name reads back exactly what the model holds, and after
// every save the pack passes the full pack check.

#include <oru/pack/oru_pack.h>

#include "pack/pack_check.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int NAMES = 6;

// In memory where the system offers it: every save syncs the files, which a
// disk makes the slowest part of a run.
// The folder goes when the run ends.
class CScratchFolder {
public:
    CScratchFolder()
        : m_strPath((std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
                    std::string("/oru_fuzz_pack_edit_") + std::to_string(getpid()))
    {
    }
    ~CScratchFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
    }
    std::string m_strPath;
};

const std::string& Folder()
{
    static const CScratchFolder s_folder;
    return s_folder.m_strPath;
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

void Put(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> Read(COruPack& pack, const std::wstring& name, bool& found)
{
    std::vector<uint8_t> out;
    COruFile* pFile = pack.OpenFile(name, false);
    found = pFile != nullptr;
    if (!pFile)
        return out;
    out.resize(pFile->GetFileSize() + 1);
    const unsigned int got = pFile->Fread(out.data(), 1, static_cast<unsigned int>(out.size()));
    oru_fclose(pFile);
    if (got == 0xFFFFFFFFu)
        std::abort();
    out.resize(got);
    return out;
}

void CheckAgainstModel(COruPack& pack, const std::map<std::wstring, std::vector<uint8_t>>& model)
{
    for (int i = 0; i < NAMES; ++i) {
        const std::wstring name = L"n" + std::to_wstring(i);
        bool found = false;
        const std::vector<uint8_t> content = Read(pack, name, found);
        const auto it = model.find(name);
        if (found != (it != model.end()) || (found && content != it->second))
            std::abort();
    }
    if (pack.GetFileList()->size() != model.size())
        std::abort();
}

void CheckSaved(const std::string& base)
{
    if (oru::detail::CheckPack(base, {}).m_nProblems != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const std::string folder = Folder();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    std::filesystem::create_directories(folder, ec);
    const std::string base = folder + "/pack";
    const uint32_t sectorSize = 1 + data[0] % 48;

    std::map<std::wstring, std::vector<uint8_t>> model;
    auto pPack = std::make_unique<COruPack>();
    pPack->OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, sectorSize);
    pPack->SetWorkDir(Wide(folder + "/"));
    size_t pos = 1;
    uint32_t seed = 1;
    while (pos + 1 < size) {
        const uint8_t op = data[pos++];
        const std::wstring name = L"n" + std::to_wstring(op % NAMES);
        switch ((op >> 4) % 4) {
        case 0:
        case 1: {  // add or replace
            std::vector<uint8_t> content(data[pos++] % 200);
            for (uint8_t& byte : content) {
                seed = seed * 1103515245u + 12345u;
                byte = static_cast<uint8_t>(seed >> 16);
            }
            Put(folder + "/" + std::string(name.begin(), name.end()), content);
            if (!pPack->AddFile(name))
                std::abort();
            model[name] = content;
            break;
        }
        case 2:  // delete
            if (pPack->DelFile(name) != (model.erase(name) == 1))
                std::abort();
            ++pos;
            break;
        default:  // save and reopen
            pPack->CloseOruPack();
            CheckSaved(base);
            pPack = std::make_unique<COruPack>();
            if (!pPack->OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, sectorSize))
                std::abort();
            pPack->SetWorkDir(Wide(folder + "/"));
            ++pos;
            break;
        }
        CheckAgainstModel(*pPack, model);
    }
    pPack->CloseOruPack();
    CheckSaved(base);
    pPack.reset();
    COruPack reader;
    if (!reader.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, sectorSize))
        std::abort();
    CheckAgainstModel(reader, model);
    return 0;
}
