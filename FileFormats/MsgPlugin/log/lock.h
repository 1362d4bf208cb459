// Lock objects over the Windows critical section: the section itself, and a scoped holder that
// releases it on every way out of a scope.
#pragma once

#include <windows.h>

namespace utility {

class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&m_section); }
    virtual ~CCriticalSection() { DeleteCriticalSection(&m_section); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_section); }
    void Unlock() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

class CSingleLock {
public:
    CSingleLock(CCriticalSection* section, bool lockNow) : m_pSection(section), m_bLocked(false) {
        if (lockNow) Lock();
    }
    virtual ~CSingleLock() { Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    void Lock() {
        if (m_bLocked || !m_pSection) return;
        m_pSection->Lock();
        m_bLocked = true;
    }
    void Unlock() {
        if (!m_bLocked) return;
        m_pSection->Unlock();
        m_bLocked = false;
    }
    bool IsLocked() const { return m_bLocked; }

private:
    CCriticalSection* m_pSection;
    bool m_bLocked;
};

}  // namespace utility
