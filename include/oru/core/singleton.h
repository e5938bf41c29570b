#pragma once

#include <oru/core/critical_section.h>

#include <new>

// The base of a process-wide manager: `class CMyManager : public
// CSingleton<CMyManager>`. The instance is created on first use by
// GetInstance and destroyed by DeleteInstance. Any object of the managed class
// registers itself on construction (the last one constructed wins); its
// destruction clears the registration only when it is the registered object,
// so destroying a copy or a second object leaves the instance reachable.
//
// The static members are defined here, so a game's own singleton works from
// this header alone. The library's own instantiations are declared
// `extern template ... ORU_API` beside their managed class and instantiated
// once inside the library, so that a game and the library share one
// m_pSingleton and one m_cs per class.
template <class T>
class CSingleton {
public:
    // The enclosing T is not built yet when this runs; only its address is
    // stored, for use once it is. The sanitizer's dynamic-type check would
    // flag the early cast, so it is turned off for this one function.
    __attribute__((no_sanitize("vptr"))) CSingleton() { m_pSingleton = static_cast<T*>(this); }
    // The same check is off here: the managed part of the object is already
    // gone when the base is destroyed, and only addresses are compared.
    __attribute__((no_sanitize("vptr"))) ~CSingleton()
    {
        COruLock lock(m_cs);
        if (m_pSingleton && static_cast<CSingleton*>(m_pSingleton) == this)
            m_pSingleton = nullptr;
    }
    CSingleton& operator=(const CSingleton&) { return *this; }

    // The instance, created on first use. Thread-safe: concurrent first
    // calls construct exactly one object. The managed class's constructor
    // runs with m_cs held.
    static T& GetInstance() { return *GetInstancePtr(); }

    // The same instance as a pointer; null only when allocation fails.
    static T* GetInstancePtr()
    {
        COruLock lock(m_cs);
        if (!m_pSingleton) {
            T* pNew = new (std::nothrow) T;
            if (pNew)
                m_pSingleton = pNew;
        }
        return m_pSingleton;
    }

    // Destroys the instance if there is one; the next GetInstance creates a
    // fresh one.
    static void DeleteInstance()
    {
        COruLock lock(m_cs);
        if (m_pSingleton) {
            delete m_pSingleton;
            m_pSingleton = nullptr;
        }
    }

    static T* m_pSingleton;
    static COruCriticalSection m_cs;
};

template <class T>
T* CSingleton<T>::m_pSingleton = nullptr;

template <class T>
constinit COruCriticalSection CSingleton<T>::m_cs;
