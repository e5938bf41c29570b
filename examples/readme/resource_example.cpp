#include <oru/resource/resource.h>
#include <oru/resource/resource_pool.h>

#include <vector>

// A resource is anything the pool may own: here the bytes of a texture.
class CTexture : public IResource {
public:
    explicit CTexture(size_t bytes) : m_vecPixels(bytes) {}
    size_t GetMemorySize() override { return m_vecPixels.size(); }
    bool OnDisable() override { return true; }  // device lost: drop GPU copies
    bool OnRestore() override { return true; }  // device back: upload again

private:
    std::vector<unsigned char> m_vecPixels;
};

int main()
{
    IResourcePool pool;
    pool.SetGarbageCollect(true);  // releases wait for GarbageCollect
    pool.RegisterRes(L"Texture\\town.bin", 7, new CTexture(4096));  // the pool owns it now

    uint32_t handle = pool.GetResHandle(L"Texture\\town.bin");
    IResource* texture = pool.GetResourceFromHandle_Lock(handle);
    const bool found = texture && texture->GetMemorySize() == 4096;

    pool.ReleaseRes_Lock(handle);  // handle becomes 0; destroyed at the next collection
    pool.GarbageCollect();
    return found && handle == 0 ? 0 : 1;
}
