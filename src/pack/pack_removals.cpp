#include "pack/pack_removals.h"

#include "core/utf8.h"
#include "pack/pack_format.h"

namespace oru::detail {

void ParseRemovals(std::string_view text, std::unordered_set<std::wstring>& names)
{
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::optional<std::wstring> name = FromUtf8(line);
        if (!name || name->empty())
            continue;
        names.insert(FoldName(*name));
        names.insert(std::move(*name));
    }
}

bool FormatRemovals(const std::vector<std::wstring>& names, std::string& text)
{
    text.clear();
    for (const std::wstring& name : names) {
        const std::optional<std::string> line = ToUtf8(name);
        if (!line || line->empty() || line->find_first_of("\r\n") != std::string::npos)
            return false;
        text += *line;
        text += '\n';
    }
    return true;
}

}  // namespace oru::detail
