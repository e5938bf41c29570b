#include <oru/property/prop_object.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// A game class describing itself with the declaration macros.
class CMonster : public CPropObject {
    ORU_DECLARE_PROPERTIES(CMonster)
public:
    int m_nHealth = 100;
    float m_fSpeed = 1.5f;
    bool m_bBoss = false;
};

ORU_PROPERTIES_BEGIN(CMonster)
    ORU_PROPERTY(m_nHealth)
    ORU_PROPERTY(m_fSpeed)
    ORU_PROPERTY(m_bBoss)
ORU_PROPERTIES_END(CMonster)

// Checks everything a terminating record must hold: the empty name, zero in
// every word after it except -1 in words 7, 11 and 15.
void ExpectTerminatingRecord(const _PROPERTY& record)
{
    ASSERT_NE(record.m_szName, nullptr);
    EXPECT_STREQ(record.m_szName, L"");
    int32_t words[PROPERTY_WORDS - 1];
    std::memcpy(words, &record.m_nType, sizeof(words));
    for (size_t word = 1; word < PROPERTY_WORDS; ++word) {
        const int32_t expected = (word == 7 || word == 11 || word == 15) ? -1 : 0;
        EXPECT_EQ(words[word - 1], expected) << "word " << word;
    }
}

size_t CountProperties(const _PROPERTY* pList)
{
    size_t count = 0;
    while (pList[count].m_szName[0] != L'\0')
        ++count;
    return count;
}

}  // namespace

TEST(PropObject, RootsDescribeNoPropertyAndEndInTheTerminatingRecord)
{
    struct CRoot {
        const _PROPERTYINFO& m_Info;
        _PROPERTY* m_pList;
        const wchar_t* m_szName;
    };
    for (const CRoot& root : {CRoot{CPropObject::m_PropertyInfo, CPropObject::m_PropertyList, L"CPropObject"},
                              CRoot{TPropStruct::m_PropertyInfo, TPropStruct::m_PropertyList, L"TPropStruct"}}) {
        SCOPED_TRACE(std::string(root.m_szName, root.m_szName + std::wcslen(root.m_szName)));
        EXPECT_STREQ(root.m_Info.m_szClassName, root.m_szName);
        EXPECT_EQ(root.m_Info.m_pPropertyList, root.m_pList);
        EXPECT_EQ(root.m_Info.m_nPropertyCount, 0u);
        EXPECT_EQ(CountProperties(root.m_pList), 0u);
        ExpectTerminatingRecord(root.m_pList[0]);
    }
}

TEST(PropObject, PlainObjectHasNoDescriptionAndCreatesAnotherPlainObject)
{
    CPropObject object;
    EXPECT_EQ(object.GetPropertyInfo(), nullptr);

    std::unique_ptr<CPropObject> pMade(object.CreateObject());
    ASSERT_NE(pMade, nullptr);
    EXPECT_NE(pMade.get(), &object);
    EXPECT_EQ(pMade->GetPropertyInfo(), nullptr);
}

TEST(PropObject, DeclaredClassDescribesItsMembersAndCreatesItsOwnKind)
{
    CMonster monster;
    CPropObject& base = monster;

    _PROPERTYINFO* pInfo = base.GetPropertyInfo();
    ASSERT_EQ(pInfo, &CMonster::m_PropertyInfo);
    EXPECT_STREQ(pInfo->m_szClassName, L"CMonster");
    EXPECT_EQ(pInfo->m_nPropertyCount, 3u);
    ASSERT_EQ(CountProperties(pInfo->m_pPropertyList), 3u);

    const _PROPERTY& health = pInfo->m_pPropertyList[0];
    EXPECT_STREQ(health.m_szName, L"m_nHealth");
    EXPECT_EQ(health.m_nType, PROPERTY_TYPE_INT);
    EXPECT_EQ(health.m_nSize, static_cast<int32_t>(sizeof(int)));
    // The offset must lead to the member in a real object.
    const char* pBytes = reinterpret_cast<const char*>(&monster);
    EXPECT_EQ(*reinterpret_cast<const int*>(pBytes + health.m_nOffset), 100);
    EXPECT_EQ(*reinterpret_cast<const float*>(pBytes + pInfo->m_pPropertyList[1].m_nOffset), 1.5f);
    EXPECT_EQ(pInfo->m_pPropertyList[1].m_nType, PROPERTY_TYPE_FLOAT);
    EXPECT_EQ(pInfo->m_pPropertyList[2].m_nType, PROPERTY_TYPE_BOOL);
    ExpectTerminatingRecord(pInfo->m_pPropertyList[3]);

    std::unique_ptr<CPropObject> pMade(base.CreateObject());
    ASSERT_NE(dynamic_cast<CMonster*>(pMade.get()), nullptr);
    EXPECT_EQ(pMade->GetPropertyInfo(), pInfo);
}
