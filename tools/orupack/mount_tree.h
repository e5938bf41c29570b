#pragma once

// The folder tree `orupack mount` shows: built once from a pack's index at
// mount time and never changed afterwards, so the file system's threads read
// it without a lock.
//
// Entry names use '\' between folders. A name is shown only when every
// component can be a file name here: not empty, not "." or "..", without '/'
// or NUL, at most NAME_MAX bytes of UTF-8. A name that needs a folder where
// another entry is a file (or the other way round) is not shown either. Each
// name left out is reported with its reason, so nothing disappears silently.

#include <oru/pack/oru_pack.h>

#include "pack_view.h"
#include "tool_support.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace orupack {

// What a file's content is made of, which decides how it is read.
enum eContentForm : uint8_t {
    CONTENT_PLAIN,    // the stored bytes themselves
    CONTENT_DECODED,  // gzip data (wrapped or not), decoded on reading
};

struct CMountNode {
    bool m_bFolder = false;
    _oru_pack_file_info m_info{};      // files: the entry's record
    uint32_t m_nLayer = 0;             // files: the pack of the view it comes from
    uint64_t m_nSize = 0;              // files: content bytes
    eContentForm m_eForm = CONTENT_PLAIN;
    uint64_t m_nAccessTime = 0;        // FILETIME; folders: the newest beneath them
    uint64_t m_nWriteTime = 0;
    uint32_t m_nSubfolders = 0;        // folders: for the link count
    std::map<std::string, uint32_t> m_mapChildren;  // folders: name -> node index
};

class CMountTree {
public:
    // An entry that is not shown, and why.
    struct CLeftOut {
        std::wstring m_strName;
        const char* m_pWhy;
    };

    // Builds the tree from the view's entries; `data`, one data file per
    // pack of the view, lets it look at each entry's first stored bytes to
    // learn its content size.
    void Build(const CPackView& view, const std::vector<std::unique_ptr<CDataFile>>& data);

    // The node at a '/'-separated path from the root ("/" is the root); null
    // when there is none.
    const CMountNode* Find(const char* pPath) const;
    const CMountNode& Node(uint32_t index) const { return m_vecNodes[index]; }
    // The '/'-separated path at which an entry of this name is shown; empty
    // when it cannot be shown.
    static std::string MountPath(const std::wstring& name);
    const std::vector<CLeftOut>& LeftOut() const { return m_vecLeftOut; }

private:
    // Splits `name` into components; empty, with the reason in `why`, when
    // it cannot be shown.
    static std::vector<std::string> Components(const std::wstring& name, const char*& why);
    // Adds a file at `parts`, with folders on the way; false, with the reason
    // in `why`, when a file or folder is already in the way.
    bool AddFile(const std::vector<std::string>& parts, const CMountNode& file, const char*& why);
    uint32_t AddNode(const std::string& path, CMountNode node);

    std::vector<CMountNode> m_vecNodes;
    std::unordered_map<std::string, uint32_t> m_mapPaths;  // "/a/b" -> node index
    std::vector<CLeftOut> m_vecLeftOut;
};

}  // namespace orupack
