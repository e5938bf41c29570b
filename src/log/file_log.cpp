// The day's log file. Each line is converted, given its CR LF line ends and
// handed to the system in one write, so a crash right after a line still
// leaves it on disk and two processes appending to one file never split each
// other's lines. There is no buffer of our own to flush.

#include "log/log_outputs.h"

#include "core/utf8.h"
#include "platform/files.h"
#include "platform/ui.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

constexpr size_t MAX_PATH_CHARS = 256;  // terminator included

constexpr std::string_view BANNER_RULE =
    "+-----------------------------------------------------------------------------+";
constexpr std::string_view BANNER_START =
    "| LOG START...                                                                |";
constexpr std::string_view BANNER_END =
    "| LOG END...                                                                  |";

static_assert(BANNER_RULE.size() == 79 && BANNER_START.size() == 79 && BANNER_END.size() == 79);

// Writes `text` and a line end as one write. The file is text: every line
// feed in it, also one inside a message, is stored as CR LF.
void WriteTextLine(oru::platform::COutputFile& file, std::string_view text)
{
    constexpr size_t FIXED = 4096;
    char fixed[FIXED];
    std::string large;
    char* pOut = fixed;
    const size_t worstCase = 2 * text.size() + 2;
    if (worstCase > FIXED) {
        large.resize(worstCase);
        pOut = large.data();
    }
    size_t n = 0;
    while (!text.empty()) {
        const size_t lineFeed = text.find('\n');
        const size_t run = lineFeed == std::string_view::npos ? text.size() : lineFeed;
        std::memcpy(pOut + n, text.data(), run);
        n += run;
        text.remove_prefix(run);
        if (!text.empty()) {
            pOut[n++] = '\r';
            pOut[n++] = '\n';
            text.remove_prefix(1);
        }
    }
    pOut[n++] = '\r';
    pOut[n++] = '\n';
    file.Write(pOut, n);
}

void WriteBanner(oru::platform::COutputFile& file, std::string_view middle, bool emptyLineAfter)
{
    std::string banner;
    banner.append(BANNER_RULE).append("\n");
    banner.append(middle).append("\n");
    banner.append(BANNER_RULE);
    if (emptyLineAfter)
        banner.append("\n");
    WriteTextLine(file, banner);
}

}  // namespace

CFileLog::~CFileLog()
{
    if (m_File.IsOpen())
        WriteBanner(m_File, BANNER_END, true);
}

bool CFileLog::Open(const std::wstring& dir, const std::wstring& name, const OruDate& date)
{
    m_strDir = dir;
    m_strName = name;
    m_Date = date;
    SetWriteFile();
    if (m_File.IsOpen())
        WriteBanner(m_File, BANNER_START, false);
    return true;
}

bool CFileLog::SetWriteFile()
{
    m_File.Close();

    const std::string dirUtf8 = oru::detail::ToUtf8Lossy(m_strDir);
    oru::platform::MakeDirectory(dirUtf8);  // an existing folder is fine; a failure shows at open

    wchar_t path[MAX_PATH_CHARS];
    const int length = swprintf(path, MAX_PATH_CHARS, L"%ls/%ls_%02d-%02d-%02d.txt",
                                m_strDir.c_str(), m_strName.c_str(), m_Date.year,
                                m_Date.month, m_Date.day);
    // A path that does not fit is refused rather than cut: a cut one would
    // name some other file.
    const std::optional<std::string> pathUtf8 =
        length > 0 ? oru::detail::ToUtf8(path) : std::nullopt;
    if (!pathUtf8 || !m_File.OpenAppend(*pathUtf8)) {
        oru::platform::ShowMessageBox(L"CFileLog::SetWriteFile()",
                                      L"create file log path directory is failed.");
        return false;
    }
    return true;
}

void CFileLog::Write(const OruDate& date, const wchar_t* line)
{
    if (date != m_Date) {
        m_Date = date;
        SetWriteFile();
    }
    const oru::detail::CLineText text(line);
    if (m_File.IsOpen())
        WriteTextLine(m_File, text.Text());
}
