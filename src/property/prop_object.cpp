#include <oru/property/prop_object.h>

#include "property/property_startup.h"

// The roots describe no property: each list is the terminating record alone.
// Words 4 and later of these records get their values at load time, in the
// module's start-up order (see core/module_startup.cpp).
_PROPERTY CPropObject::m_PropertyList[] = {{L"", PROPERTY_TYPE_NONE, 0, 0, {}, {}}};
_PROPERTYINFO CPropObject::m_PropertyInfo = {L"CPropObject", CPropObject::m_PropertyList, 0};

_PROPERTY TPropStruct::m_PropertyList[] = {{L"", PROPERTY_TYPE_NONE, 0, 0, {}, {}}};
_PROPERTYINFO TPropStruct::m_PropertyInfo = {L"TPropStruct", TPropStruct::m_PropertyList, 0};

CPropObject::~CPropObject() = default;

_PROPERTYINFO* CPropObject::GetPropertyInfo()
{
    return nullptr;
}

CPropObject* CPropObject::CreateObject()
{
    return new (std::nothrow) CPropObject;
}

void CPropObject::OnUpdateProp()
{
}

namespace oru::detail {

namespace {

// The start values of words 4 and later: every hint group closed by -1,
// everything else zero. The same values MakeProperty gives a derived class's
// records.
void SetStartWords(_PROPERTY& record)
{
    const _PROPERTY fresh = MakeProperty(record.m_szName, PROPERTY_TYPE_NONE, 0, 0);
    for (int i = 0; i < 3; ++i)
        record.m_Hint[i] = fresh.m_Hint[i];
    for (int32_t& word : record.m_nReserved)
        word = 0;
}

}  // namespace

void InitRootPropertyLists()
{
    SetStartWords(TPropStruct::m_PropertyList[0]);
    SetStartWords(CPropObject::m_PropertyList[0]);
}

}  // namespace oru::detail
