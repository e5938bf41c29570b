#include "mount_tree.h"

#include "pack/pack_tools.h"

#include <cstddef>
#include <optional>

namespace orupack {
namespace {

// The longest name a folder entry may have on the systems a tree is made on.
constexpr size_t MAX_NAME_BYTES = 255;

constexpr uint8_t GZIP_ID1 = 0x1F;
constexpr uint8_t GZIP_ID2 = 0x8B;
constexpr uint32_t GZIP_TRAILER_SIZE_BYTES = 4;  // the content length, last in a member

// Learns an entry's content size and form from its stored bytes. A wrapped
// entry declares its length; bare gzip data ends with it (the length of its
// last member, which is all of it for the single member gzip writes). Bytes
// that cannot be read leave the entry plain at its stored size: reading it
// then meets the damage and says so.
void ProbeContent(const CDataFile& data, const _oru_pack_file_info& info, uint32_t sectorSize,
                  CMountNode& file)
{
    using namespace oru::tools;
    file.m_nSize = info.size;
    file.m_eForm = CONTENT_PLAIN;
    if (info.size < 2)
        return;
    uint8_t start[WRAPPER_PREFIX_BYTES] = {};
    const size_t got = data.ReadStored(info, sectorSize, 0, start, sizeof start);
    const CWrapperPrefix prefix = ParseWrapperPrefix(start, got);
    if (prefix.IsWhole()) {
        file.m_nSize = prefix.m_nDeclared;
        file.m_eForm = CONTENT_DECODED;
        return;
    }
    uint8_t trailer[GZIP_TRAILER_SIZE_BYTES];
    if (got >= 2 && start[0] == GZIP_ID1 && start[1] == GZIP_ID2 &&
        info.size >= GZIP_TRAILER_SIZE_BYTES &&
        data.ReadStored(info, sectorSize, info.size - GZIP_TRAILER_SIZE_BYTES, trailer,
                        sizeof trailer) == sizeof trailer) {
        file.m_nSize = LoadU32(trailer);
        file.m_eForm = CONTENT_DECODED;
    }
}

}  // namespace

void CMountTree::Build(const CPackView& view, const std::vector<std::unique_ptr<CDataFile>>& data)
{
    m_vecNodes.clear();
    m_mapPaths.clear();
    m_vecLeftOut.clear();
    CMountNode root;
    root.m_bFolder = true;
    AddNode("", root);

    for (const CPackView::CEntry& entry : view.Entries()) {
        const _oru_pack_file_info& info = entry.m_info;
        const char* why = "";
        const std::vector<std::string> parts = Components(entry.Name(), why);
        CMountNode file;
        file.m_info = info;
        file.m_nLayer = entry.m_nLayer;
        file.m_nAccessTime = info.last_access_time;
        file.m_nWriteTime = info.last_write_time;
        if (!parts.empty()) {
            ProbeContent(*data[entry.m_nLayer], info, view.SectorSize(entry.m_nLayer), file);
            if (AddFile(parts, file, why))
                continue;
        }
        m_vecLeftOut.push_back({entry.Name(), why});
    }
}

const CMountNode* CMountTree::Find(const char* pPath) const
{
    std::string path = pPath;
    if (path == "/")
        path.clear();
    const auto it = m_mapPaths.find(path);
    return it == m_mapPaths.end() ? nullptr : &m_vecNodes[it->second];
}

std::string CMountTree::MountPath(const std::wstring& name)
{
    const char* why = "";
    std::string path;
    for (const std::string& part : Components(name, why))
        path += "/" + part;
    return path;
}

std::vector<std::string> CMountTree::Components(const std::wstring& name, const char*& why)
{
    const std::optional<std::string> utf8 = oru::tools::ToUtf8(name);
    if (!utf8) {
        why = "the name has no UTF-8 form";
        return {};
    }
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(utf8->find('\\', start), utf8->size());
        std::string part = utf8->substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            why = "a folder or file name in it is empty, '.' or '..'";
            return {};
        }
        if (part.find('/') != std::string::npos || part.find('\0') != std::string::npos) {
            why = "a folder or file name in it holds '/' or NUL";
            return {};
        }
        if (part.size() > MAX_NAME_BYTES) {
            why = "a folder or file name in it is longer than 255 bytes";
            return {};
        }
        parts.push_back(std::move(part));
        if (end == utf8->size())
            return parts;
        start = end + 1;
    }
}

bool CMountTree::AddFile(const std::vector<std::string>& parts, const CMountNode& file, const char*& why)
{
    // Checked first, so that a refused name leaves no folders behind.
    std::string path;
    for (size_t i = 0; i < parts.size(); ++i) {
        path += "/" + parts[i];
        const auto it = m_mapPaths.find(path);
        const bool last = i + 1 == parts.size();
        if (it != m_mapPaths.end() && (last || !m_vecNodes[it->second].m_bFolder)) {
            why = last ? "another entry is shown at the same path"
                       : "a folder it needs is another entry's file";
            return false;
        }
    }

    uint32_t parent = 0;
    path.clear();
    for (size_t i = 0; i < parts.size(); ++i) {
        path += "/" + parts[i];
        CMountNode& folder = m_vecNodes[parent];
        folder.m_nAccessTime = std::max(folder.m_nAccessTime, file.m_nAccessTime);
        folder.m_nWriteTime = std::max(folder.m_nWriteTime, file.m_nWriteTime);
        const auto it = m_mapPaths.find(path);
        if (it != m_mapPaths.end()) {
            parent = it->second;
            continue;
        }
        const bool last = i + 1 == parts.size();
        CMountNode node;
        if (!last) {
            node.m_bFolder = true;
            ++m_vecNodes[parent].m_nSubfolders;
        }
        const uint32_t index = AddNode(path, last ? file : node);
        m_vecNodes[parent].m_mapChildren.emplace(parts[i], index);
        parent = index;
    }
    return true;
}

uint32_t CMountTree::AddNode(const std::string& path, CMountNode node)
{
    const uint32_t index = static_cast<uint32_t>(m_vecNodes.size());
    m_vecNodes.push_back(std::move(node));
    m_mapPaths.emplace(path, index);
    return index;
}

}  // namespace orupack
