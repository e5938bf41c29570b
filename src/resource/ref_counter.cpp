#include <oru/resource/ref_counter.h>
#include <oru/resource/resource.h>

// CRefCounter::m_CS is defined with the module's other load-time objects, in
// core/module_startup.cpp, to keep its place in the start-up order.

CRefCounter::~CRefCounter() = default;

void CRefCounter::AddRefCnt()
{
    COruLock lock(m_CS);
    ++m_nRefCnt;
}

void CRefCounter::DecRefCnt()
{
    COruLock lock(m_CS);
    --m_nRefCnt;
}

int CRefCounter::GetRefCnt()
{
    COruLock lock(m_CS);
    return m_nRefCnt;
}

bool CRefCounter::IsRelease()
{
    COruLock lock(m_CS);
    return m_nRefCnt == 0;
}

IResource::~IResource() = default;
