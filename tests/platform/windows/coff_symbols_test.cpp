// Naming code from a module's COFF symbol table: the function that holds an
// address, for the frames the symbol handler cannot name.

#include "coff_symbols.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

extern "C" void ___chkstk_ms();  // the compiler runtime's stack probe, written in assembly

namespace {

using oru::platform::FindCoffFunction;

[[gnu::noinline]] int LocalFunction(int value)
{
    return value * 3 + 1;
}

}  // namespace

extern "C" [[gnu::noinline]] int CoffTestExternalFunction(int value)
{
    return value + 7;
}

namespace {

HMODULE ThisModule()
{
    return GetModuleHandleW(nullptr);
}

template <typename T>
uint64_t AddressOf(T* p)
{
    return reinterpret_cast<uint64_t>(p);
}

TEST(CoffSymbols, AnAddressInsideAFunctionGivesItsStartAndName)
{
    struct CCase {
        const char* m_pWhat;
        uint64_t m_nStart;
        const char* m_pName;  // as the table holds it: mangled
    };
    const auto local = AddressOf(&LocalFunction);
    const auto external = AddressOf(&CoffTestExternalFunction);
    const auto probe = AddressOf(&___chkstk_ms);
    const CCase cases[] = {
        {"a function of an anonymous namespace", local, "_ZN12_GLOBAL__N_113LocalFunctionEi"},
        {"a global C function", external, "CoffTestExternalFunction"},
        {"an assembly routine known by its label", probe, "___chkstk_ms"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_pWhat);
        for (const uint64_t offset : {0, 1, 5}) {
            uint64_t start = 0;
            const char* pName = nullptr;
            ASSERT_TRUE(FindCoffFunction(ThisModule(), c.m_nStart + offset, start, pName))
                << offset;
            EXPECT_EQ(start, c.m_nStart) << offset;
            EXPECT_STREQ(pName, c.m_pName) << offset;
        }
    }
}

// The second look-up of a function comes from the one kept from the first;
// a look-up elsewhere must not be answered from it.
TEST(CoffSymbols, AnotherFunctionAfterARepeatedOneIsFoundAnew)
{
    const uint64_t local = AddressOf(&LocalFunction);
    const uint64_t external = AddressOf(&CoffTestExternalFunction);
    for (const uint64_t address : {local, local + 2, external, local}) {
        uint64_t start = 0;
        const char* pName = nullptr;
        ASSERT_TRUE(FindCoffFunction(ThisModule(), address, start, pName));
        EXPECT_EQ(start, address == external ? external : local);
    }
}

int g_nData = 1;  // a variable: no code

TEST(CoffSymbols, NothingIsFoundOutsideTheCode)
{
    uint64_t start = 0;
    const char* pName = nullptr;
    EXPECT_FALSE(FindCoffFunction(ThisModule(), AddressOf(&g_nData), start, pName));
    // The module's headers come before any code.
    EXPECT_FALSE(FindCoffFunction(ThisModule(), AddressOf(ThisModule()) + 16, start, pName));
    EXPECT_FALSE(FindCoffFunction(nullptr, AddressOf(&LocalFunction),
                                  start, pName));
}

}  // namespace
