#pragma once

#include <oru/core/export.h>

// The work of a background task: a free function of two untyped arguments.
typedef void (*OruTaskCallback)(void* data, void* param);

// One queued callback with its two arguments. The record owns nothing: the
// library passes data and param on and never reads or frees them.
class ORU_API CThreadTask {
public:
    CThreadTask(void* data, OruTaskCallback callback, void* param)
        : m_pData(data), m_pfnCallback(callback), m_pParam(param)
    {
    }

    // Calls callback(data, param). The callback must not let an exception
    // escape: the worker has no handler around it.
    void Run() { m_pfnCallback(m_pData, m_pParam); }

    void* m_pData;
    OruTaskCallback m_pfnCallback;
    void* m_pParam;
};
