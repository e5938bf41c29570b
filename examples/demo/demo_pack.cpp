#include "demo_pack.h"

#include <oru/core/convert.h>
#include <oru/log/log_system.h>
#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t SECTOR_SIZE = 4096;

std::vector<char> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteFile(const fs::path& path, const std::vector<char>& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The compressed wrapper: "ORUGZIP1", the content length (32-bit little
// endian), then one gzip member. The library only reads this form; building
// it is the pack tool's job, here the demo's.
bool Wrap(const std::vector<char>& content, std::vector<char>& wrapped)
{
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::vector<char> gz(deflateBound(&zs, static_cast<uLong>(content.size())) + 32);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    zs.avail_in = static_cast<uInt>(content.size());
    zs.next_out = reinterpret_cast<Bytef*>(gz.data());
    zs.avail_out = static_cast<uInt>(gz.size());
    const int rc = deflate(&zs, Z_FINISH);
    gz.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return false;

    const uint32_t length = static_cast<uint32_t>(content.size());
    wrapped.assign({'O', 'R', 'U', 'G', 'Z', 'I', 'P', '1'});
    for (int shift = 0; shift < 32; shift += 8)
        wrapped.push_back(static_cast<char>((length >> shift) & 0xFF));
    wrapped.insert(wrapped.end(), gz.begin(), gz.end());
    return true;
}

bool PrefersWrapper(const fs::path& file)
{
    const std::string ext = file.extension().string();
    return ext == ".xml" || ext == ".txt";
}

std::string Narrow(const std::wstring& text)
{
    const char* utf8 = OruWCharToChar(65001, text.c_str());
    return utf8 ? utf8 : "?";
}

}  // namespace

std::wstring EntryName(const fs::path& root, const fs::path& file)
{
    std::wstring name;
    for (const fs::path& part : fs::relative(file, root)) {
        if (!name.empty())
            name += L'\\';
        const std::u8string utf8 = part.u8string();
        const wchar_t* wide = OruCharToWChar(65001, reinterpret_cast<const char*>(utf8.c_str()));
        name += wide ? wide : L"?";
    }
    return name;
}

bool BuildAssetPack(const fs::path& assets, const fs::path& stage, const std::wstring& packBase,
                    CPackReport& report, CLogSystem& log)
{
    std::error_code ec;
    fs::remove_all(stage, ec);
    for (const char* ext : {".odx", ".opk"})
        fs::remove(Narrow(packBase) + ext, ec);

    // Stage every asset in the form it will be stored in.
    std::vector<std::wstring> names;
    for (const auto& item : fs::recursive_directory_iterator(assets)) {
        if (!item.is_regular_file())
            continue;
        const std::vector<char> content = ReadFile(item.path());
        std::vector<char> stored = content;
        std::vector<char> wrapped;
        if (Wrap(content, wrapped) && (PrefersWrapper(item.path()) || wrapped.size() < content.size())) {
            stored = wrapped;
            ++report.m_nWrapped;
        }
        if (!WriteFile(stage / fs::relative(item.path(), assets), stored)) {
            std::fprintf(stderr, "oru-demo: cannot stage %s\n", item.path().string().c_str());
            return false;
        }
        names.push_back(EntryName(assets, item.path()));
    }

    // Opening a base path that has no pack yet creates one, and says so by
    // answering false; an existing pack would answer true.
    COruPack builder;
    if (builder.OpenOruPack(packBase, ORU_PACK_MODE_WRITE, SECTOR_SIZE)) {
        std::fprintf(stderr, "oru-demo: %s was not removed\n", Narrow(packBase).c_str());
        return false;
    }
    const wchar_t* stageDir = OruCharToWChar(65001, (stage.string() + "/").c_str());
    builder.SetWorkDir(stageDir ? stageDir : L"./");
    for (const std::wstring& name : names) {
        if (!builder.AddFile(name)) {
            std::fprintf(stderr, "oru-demo: cannot add %s to the pack\n", Narrow(name).c_str());
            return false;
        }
        log.Log(5, L"packed %ls", name.c_str());
    }
    report.m_nEntries = builder.GetFileList()->size();
    for (const auto& [name, info] : *builder.GetFileList())
        report.m_nStoredBytes += info.size;
    return builder.CloseOruPack();
}

bool ReadPackEntry(const std::wstring& name, std::vector<char>& content)
{
    COruFile* file = OruPack().OpenFile(name, false);
    if (!file)
        return false;
    content.assign(file->GetFileSize(), '\0');
    const unsigned int got =
        oru_fread(content.data(), 1, static_cast<unsigned int>(content.size()), file);
    oru_fclose(file);
    return got == content.size();
}

void VerifyAssetPack(const fs::path& assets, CPackReport& report, CLogSystem& log)
{
    for (const auto& item : fs::recursive_directory_iterator(assets)) {
        if (!item.is_regular_file())
            continue;
        const std::wstring name = EntryName(assets, item.path());
        std::vector<char> content;
        if (!ReadPackEntry(name, content) || content != ReadFile(item.path())) {
            ++report.m_nMismatches;
            log.Log(1, L"pack entry %ls differs from its asset", name.c_str());
            continue;
        }
        report.m_nContentBytes += content.size();
    }
}
