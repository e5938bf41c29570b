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
    __attribute__((no_sanitize("vptr"))) CSingleton();
    // The same check is off here: the managed part of the object is already
    // gone when the base is destroyed, and only addresses are compared.
    __attribute__((no_sanitize("vptr"))) ~CSingleton();
    CSingleton& operator=(const CSingleton&) { return *this; }

    // The instance, created on first use. Thread-safe: concurrent first
    // calls construct exactly one object. The managed class's constructor
    // runs with m_cs held.
    static T& GetInstance() { return *GetInstancePtr(); }

    // The same instance as a pointer; null only when allocation fails.
    static T* GetInstancePtr();

    // Destroys the instance if there is one; the next GetInstance creates a
    // fresh one. The destructor runs without m_cs held: a destructor that
    // waits for work (the task manager drains its queue) lets that work reach
    // the instance through GetInstance, which returns the dying object until
    // its destruction clears the registration. A second DeleteInstance while
    // one runs does nothing.
    static void DeleteInstance();

    static T* m_pSingleton;
    static COruCriticalSection m_cs;

private:
    static T* m_pDeleting;  // the instance DeleteInstance is destroying; null when none
};

template <class T>
T* CSingleton<T>::m_pSingleton = nullptr;

template <class T>
T* CSingleton<T>::m_pDeleting = nullptr;

template <class T>
constinit COruCriticalSection CSingleton<T>::m_cs;

// The members are defined outside the class, so that they are not inline: a
// library that instantiates CSingleton<T> once then exports them, on every
// system, for its programs to call.
template <class T>
CSingleton<T>::CSingleton()
{
    m_pSingleton = static_cast<T*>(this);
}

template <class T>
CSingleton<T>::~CSingleton()
{
    COruLock lock(m_cs);
    if (m_pSingleton && static_cast<CSingleton*>(m_pSingleton) == this)
        m_pSingleton = nullptr;
}

template <class T>
T* CSingleton<T>::GetInstancePtr()
{
    COruLock lock(m_cs);
    if (!m_pSingleton) {
        T* pNew = new (std::nothrow) T;
        if (pNew)
            m_pSingleton = pNew;
    }
    return m_pSingleton;
}

template <class T>
void CSingleton<T>::DeleteInstance()
{
    T* pDoomed = nullptr;
    {
        COruLock lock(m_cs);
        if (!m_pSingleton || m_pSingleton == m_pDeleting)
            return;
        pDoomed = m_pDeleting = m_pSingleton;
    }
    delete pDoomed;  // the base destructor clears m_pSingleton under m_cs
    COruLock lock(m_cs);
    m_pDeleting = nullptr;
}
