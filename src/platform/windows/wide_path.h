#pragma once

// Paths between the library and the system: the library speaks UTF-8 with
// '/' separators, the W functions UTF-16 (which accept '/' as well). The
// conversion is strict: bytes that are not UTF-8 make the path unusable
// instead of naming some other file.

#include <cstddef>
#include <string>

namespace oru::platform {

// A UTF-8 path as UTF-16, in a buffer of its own: converting allocates
// nothing, so an exception filter can open files through it. Invalid UTF-8
// or a path too long for the buffer leaves it invalid, with errno EILSEQ or
// ENAMETOOLONG.
class CWidePath {
public:
    explicit CWidePath(const char* pathUtf8);
    explicit CWidePath(const std::string& pathUtf8) : CWidePath(pathUtf8.c_str()) {}

    bool IsValid() const { return m_bValid; }
    const wchar_t* Get() const { return m_wsz; }
    size_t Length() const { return m_nLength; }  // in UTF-16 units, without the terminator
    // Turns every '/' into a backslash, for the few places where the system
    // keeps the text as it is given (the target of a symbolic link).
    void UseBackslashes();

    static constexpr size_t CAPACITY = 1024;  // UTF-16 units with the terminator

private:
    wchar_t m_wsz[CAPACITY];
    size_t m_nLength = 0;
    bool m_bValid = false;
};

// `length` UTF-16 units from the system as UTF-8, every '\' turned into '/'.
// Empty when they are not valid UTF-16 (a lone surrogate) or memory runs out.
std::string NarrowPath(const wchar_t* pPath, size_t length);

}  // namespace oru::platform
