#pragma once

// Assets loaded in the background: the main loop queues pack entries on the
// library's worker thread and, once a load is done, registers the bytes in a
// resource pool under the entry's name.

#include <oru/resource/resource.h>
#include <oru/resource/resource_pool.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// The bytes of one asset, owned by the pool once registered.
class CAssetResource : public IResource {
public:
    explicit CAssetResource(std::vector<char> bytes);
    ~CAssetResource() override;

    size_t GetMemorySize() override { return m_vecBytes.size(); }
    // A device-lost style pass: the bytes are dropped and read again.
    bool OnDisable() override;
    bool OnRestore() override;

    static inline std::atomic<int> s_nAlive{0};  // resources not yet destroyed

private:
    std::vector<char> m_vecBytes;
    size_t m_nSize;
};

class CAssetLoader {
public:
    explicit CAssetLoader(IResourcePool& pool) : m_Pool(pool) {}

    // Queues the loading of `name`; it will be registered under `handle`.
    void Request(const std::wstring& name, uint32_t handle);
    // Registers every finished load; returns how many are still under way.
    size_t Collect();

    int m_nTasksRun = 0;     // loads finished on the worker
    int m_nRegistered = 0;   // resources given to the pool
    int m_nFailed = 0;       // entries that could not be read

private:
    struct CJob {
        std::wstring m_strName;
        uint32_t m_hHandle = 0;
        std::vector<char> m_vecBytes;
        bool m_bOk = false;
        std::atomic<bool> m_bDone{false};
    };
    static void Load(void* data, void* param);

    IResourcePool& m_Pool;
    std::vector<std::unique_ptr<CJob>> m_vecJobs;
};
