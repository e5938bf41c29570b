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

    uint32_t handle = pool.GetResHandle(L"Texture\\town.bin");  // takes a reference
    IResource* texture = pool.GetResourceFromHandle_Lock(handle);  // does not
    const bool found = texture && texture->GetMemorySize() == 4096;
    pool.ReleaseRes_Lock(handle);  // gives it back; handle becomes 0

    uint32_t registered = 7;
    pool.ReleaseRes_Lock(registered);  // the registration's reference: the count is 0
    pool.GarbageCollect();             // and the texture is destroyed here
    return found && handle == 0 && !pool.GetResourceFromHandle_Lock(7) ? 0 : 1;
}
