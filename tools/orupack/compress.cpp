#include "compress.h"

#include "pack/pack_tools.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace orupack {
namespace {

// Compressors kept for reuse: making one costs more than a small file's
// compression, and files are compressed on several threads. A pool, not one
// compressor per thread: not every C++ runtime destroys thread-local objects
// soundly as a thread ends (mingw-w64's frees them through a stale pointer).
class CWriterPool {
public:
    std::unique_ptr<oru::tools::CBlockWriter> Take()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_vecFree.empty()) {
                std::unique_ptr<oru::tools::CBlockWriter> pWriter = std::move(m_vecFree.back());
                m_vecFree.pop_back();
                return pWriter;
            }
        }
        return std::make_unique<oru::tools::CBlockWriter>();
    }

    // Without memory to keep it, the compressor is let go.
    void Give(std::unique_ptr<oru::tools::CBlockWriter> pWriter) noexcept
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        try {
            m_vecFree.push_back(std::move(pWriter));
        } catch (const std::bad_alloc&) {
        }
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<oru::tools::CBlockWriter>> m_vecFree;
};

CWriterPool s_writers;

}  // namespace

bool ReadersWouldDecode(const uint8_t* start, size_t length)
{
    constexpr uint8_t GZIP_ID[2] = {0x1F, 0x8B};
    const auto startsWith = [&](const void* pMagic, size_t bytes) {
        return length >= bytes && std::memcmp(start, pMagic, bytes) == 0;
    };
    return startsWith(GZIP_ID, sizeof GZIP_ID) ||
           oru::tools::ParseWrapperPrefix(start, length).m_bWrapped;
}

bool WrapCompressed(const CBytes& content, CBytes& wrapped, bool always)
{
    using oru::tools::WRAPPER_PREFIX_BYTES;
    if ((!always && content.size() <= WRAPPER_PREFIX_BYTES) || content.size() > UINT32_MAX)
        return false;
    std::unique_ptr<oru::tools::CBlockWriter> pWriter;
    try {
        pWriter = s_writers.Take();
        if (!pWriter->IsReady())
            return false;
        wrapped.resize(WRAPPER_PREFIX_BYTES + pWriter->Bound(content.size()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    oru::tools::WriteWrapperPrefix(static_cast<uint32_t>(content.size()), wrapped.data());
    const size_t produced = pWriter->Write(content.data(), content.size(), wrapped.data() + WRAPPER_PREFIX_BYTES);
    s_writers.Give(std::move(pWriter));
    if (produced == 0)
        return false;
    wrapped.resize(WRAPPER_PREFIX_BYTES + produced);
    return always || wrapped.size() < content.size();
}

}  // namespace orupack
