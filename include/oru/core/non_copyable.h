#pragma once

// The private base of every class whose objects own something that two
// copies would share: a descriptor, a thread, a tree, a platform handle.
//
//     class ORU_API CTimer : private COruNonCopyable { ... };
//
// The derived class has no copy constructor and no copy assignment; it moves
// only where it declares its own move operations. The base is empty and adds
// nothing to the size of the derived object.
class COruNonCopyable {
public:
    COruNonCopyable(const COruNonCopyable&) = delete;
    COruNonCopyable& operator=(const COruNonCopyable&) = delete;

protected:
    constexpr COruNonCopyable() noexcept = default;
    ~COruNonCopyable() = default;
};
