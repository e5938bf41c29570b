#pragma once

#include <oru/core/export.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

// Property reflection: the roots of the engine's reflected classes.
//
// A reflected class describes itself with one _PROPERTYINFO (its name and
// its list of properties) and one array of _PROPERTY records closed by a
// terminating record whose name is the empty string. CPropObject is the root
// of polymorphic reflected classes, TPropStruct the root of plain structures
// that carry the same static description. Both roots describe no property.

// One property of a class: the name, then 33 words that tools use to find and
// edit the value. The record keeps 34 words on every platform: the name is a
// pointer (one word on 32-bit, two on 64-bit), every other word stays a
// 32-bit integer, so tables written for one platform keep their shape.
//
// Words 1 to 3 say what and where the value is; three groups of four words
// (words 4 to 15) carry editing hints, each group closed by a link word that
// is -1 when no further group follows; words 16 to 33 are reserved and zero.
struct _PROPERTYHINT {
    int32_t m_nArg[3];  // meaning chosen by the property's type (range, step...)
    int32_t m_nLink;    // -1: the hint chain ends here
};

struct _PROPERTY {
    const wchar_t* m_szName;        // word 0; empty string in the terminating record
    int32_t m_nType;                // word 1; one of ePropertyType
    int32_t m_nOffset;              // word 2; bytes from the start of the object
    int32_t m_nSize;                // word 3; bytes of the value
    _PROPERTYHINT m_Hint[3];        // words 4 to 15
    int32_t m_nReserved[18];        // words 16 to 33
};

// Counting the name as word 0.
constexpr size_t PROPERTY_WORDS = 34;
static_assert(offsetof(_PROPERTY, m_nType) == sizeof(const wchar_t*));
static_assert(offsetof(_PROPERTY, m_Hint) == sizeof(const wchar_t*) + 3 * sizeof(int32_t));
static_assert(offsetof(_PROPERTY, m_nReserved) == sizeof(const wchar_t*) + 15 * sizeof(int32_t));
static_assert(offsetof(_PROPERTY, m_nReserved) + sizeof(_PROPERTY::m_nReserved)
              == sizeof(const wchar_t*) + (PROPERTY_WORDS - 1) * sizeof(int32_t));
// On 64-bit the compiler rounds the record up to the pointer's alignment
// (140 bytes become 144) so that arrays keep every name aligned.
static_assert(sizeof(_PROPERTY) % alignof(const wchar_t*) == 0);
static_assert(sizeof(_PROPERTY) - (sizeof(const wchar_t*) + (PROPERTY_WORDS - 1) * sizeof(int32_t))
              < alignof(const wchar_t*));

// What word 1 of a property says about its value. The library itself reads
// none of these; they are the vocabulary of the declaration macros below.
enum ePropertyType {
    PROPERTY_TYPE_NONE = 0,
    PROPERTY_TYPE_BOOL = 1,
    PROPERTY_TYPE_INT = 2,
    PROPERTY_TYPE_FLOAT = 3,
    PROPERTY_TYPE_DOUBLE = 4,
    PROPERTY_TYPE_OTHER = 5,
};

// The description of one class.
struct _PROPERTYINFO {
    const wchar_t* m_szClassName;
    _PROPERTY* m_pPropertyList;   // first record; the list ends with an empty name
    uint32_t m_nPropertyCount;    // records before the terminating one; 0 in the roots
};

// The root of reflected classes. It describes nothing itself: GetPropertyInfo
// returns null unless a derived class overrides it.
class ORU_API CPropObject {
public:
    CPropObject() = default;
    CPropObject(const CPropObject&) = default;
    CPropObject& operator=(const CPropObject&) { return *this; }
    virtual ~CPropObject();

    // The class's description, or null for a class without one.
    virtual _PROPERTYINFO* GetPropertyInfo();
    // A new default-constructed object of the same kind (a plain CPropObject
    // here), or null when allocation fails. The caller owns it and deletes it
    // through this base.
    virtual CPropObject* CreateObject();
    // Hook for derived classes, told that their properties were changed. The
    // library never calls it.
    virtual void OnUpdateProp();

    static _PROPERTYINFO m_PropertyInfo;   // { "CPropObject", m_PropertyList, 0 }
    static _PROPERTY m_PropertyList[];     // the terminating record only
};

// The root of plain reflected structures: no virtual operations, no data.
struct ORU_API TPropStruct {
    TPropStruct& operator=(const TPropStruct&) { return *this; }

    static _PROPERTYINFO m_PropertyInfo;   // { "TPropStruct", m_PropertyList, 0 }
    static _PROPERTY m_PropertyList[];     // the terminating record only
};

namespace oru::detail {
// Words 1 to 3 of a property and the start values of its later words.
constexpr _PROPERTY MakeProperty(const wchar_t* name, ePropertyType type, size_t offset, size_t size)
{
    return _PROPERTY{name,
                     static_cast<int32_t>(type),
                     static_cast<int32_t>(offset),
                     static_cast<int32_t>(size),
                     {{{0, 0, 0}, -1}, {{0, 0, 0}, -1}, {{0, 0, 0}, -1}},
                     {}};
}

template <class T>
constexpr ePropertyType PropertyTypeOf()
{
    if constexpr (std::is_same_v<T, bool>)
        return PROPERTY_TYPE_BOOL;
    else if constexpr (std::is_integral_v<T>)
        return PROPERTY_TYPE_INT;
    else if constexpr (std::is_same_v<T, float>)
        return PROPERTY_TYPE_FLOAT;
    else if constexpr (std::is_same_v<T, double>)
        return PROPERTY_TYPE_DOUBLE;
    else
        return PROPERTY_TYPE_OTHER;
}
}  // namespace oru::detail

// Declaring a reflected class, inside its body:
//
//     class CMonster : public CPropObject {
//         ORU_DECLARE_PROPERTIES(CMonster)
//     public:
//         int m_nHealth = 100;
//     };
//
// and once in a source file:
//
//     ORU_PROPERTIES_BEGIN(CMonster)
//         ORU_PROPERTY(m_nHealth)
//     ORU_PROPERTIES_END(CMonster)
//
// The class then reports its own description and creates objects of its own
// kind. It needs a default constructor. Like the start of a class body, the
// declaration leaves the access private.
#define ORU_DECLARE_PROPERTIES(ClassName)                                              \
public:                                                                                \
    static _PROPERTYINFO m_PropertyInfo;                                               \
    static _PROPERTY m_PropertyList[];                                                 \
    _PROPERTYINFO* GetPropertyInfo() override { return &m_PropertyInfo; }              \
    CPropObject* CreateObject() override { return new (std::nothrow) ClassName; }      \
                                                                                       \
private:                                                                               \
    using ThisPropertyClass = ClassName;

// offsetof on a class with virtual operations is conditionally supported;
// the compilers we build with give the plain byte offset of the member.
#define ORU_PROPERTIES_BEGIN(ClassName)                                                \
    _Pragma("GCC diagnostic push")                                                     \
    _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")                           \
    _PROPERTY ClassName::m_PropertyList[] = {

#define ORU_PROPERTY(member)                                                           \
    oru::detail::MakeProperty(                                                         \
        L"" #member,                                                                   \
        oru::detail::PropertyTypeOf<decltype(ThisPropertyClass::member)>(),            \
        offsetof(ThisPropertyClass, member), sizeof(ThisPropertyClass::member)),

#define ORU_PROPERTIES_END(ClassName)                                                  \
    oru::detail::MakeProperty(L"", PROPERTY_TYPE_NONE, 0, 0)};                         \
    _PROPERTYINFO ClassName::m_PropertyInfo = {                                        \
        L"" #ClassName, ClassName::m_PropertyList,                                     \
        static_cast<uint32_t>(sizeof(ClassName::m_PropertyList) / sizeof(_PROPERTY) - 1)}; \
    _Pragma("GCC diagnostic pop")
