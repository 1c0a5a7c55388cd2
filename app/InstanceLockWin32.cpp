#include "app/InstanceLockWin32.h"

#include <string.h>

#include "app/Installer.h"
#include "app/Resources.h"
#include "core/Text.h"

namespace Quorvel {

namespace {

bool Owned(DWORD waited) { return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; }

}  // namespace

QVInstanceLock::QVInstanceLock(const std::wstring& name)
    : m_mutex(::CreateMutexW(NULL, FALSE, name.c_str())),
      m_next(::CreateMutexW(NULL, FALSE, (name + L".Next").c_str())),
      m_held(false),
      m_waitedToStart(false) {}

bool QVInstanceLock::TryAcquire() {
    if (!m_mutex.valid()) return true;
    m_held = Owned(::WaitForSingleObject(m_mutex.get(), 0));
    return m_held;
}

void QVInstanceLock::Wait(bool startsClient) {
    if (!m_mutex.valid() || m_held) return;
    // Queued: the run before sees the next one held while this one waits.
    const bool queued = startsClient && m_next.valid() && Owned(::WaitForSingleObject(m_next.get(), INFINITE));
    m_held = Owned(::WaitForSingleObject(m_mutex.get(), INFINITE));
    if (queued) {
        ::ReleaseMutex(m_next.get());  // the next run may queue behind this one
        m_waitedToStart = true;
    }
}

bool QVInstanceLock::ClientStarterWaiting() {
    if (!m_next.valid()) return false;
    if (!Owned(::WaitForSingleObject(m_next.get(), 0))) return true;  // held: a live run waits
    ::ReleaseMutex(m_next.get());
    return false;
}

void QVInstanceLock::Release() {
    if (m_held) ::ReleaseMutex(m_mutex.get());
    m_held = false;
}

std::wstring SettingsGameName(const char* bytes, size_t size) {
    if (bytes == NULL || size >= 0x7FFFFFFF) return std::wstring();
    std::wstring text;
    if (size >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes + 2), (size - 2) / 2);
    } else if (size >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        text = ConvertToWide(bytes + 3, static_cast<int>(size - 3), CP_UTF8, NULL);
    } else {
        text = ConvertToWide(bytes, static_cast<int>(size), CP_ACP, NULL);
    }
    return IniValue(text, L"game", L"name");
}

std::wstring OwnGameLockName() {
    // Read before anything is written: the settings resource of the
    // running image itself.
    HRSRC info = ::FindResourceW(NULL, MAKEINTRESOURCEW(kSettingsResource), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    HGLOBAL loaded = info != NULL ? ::LoadResource(NULL, info) : NULL;
    const char* bytes = loaded != NULL ? static_cast<const char*>(::LockResource(loaded)) : NULL;
    std::wstring name = SettingsGameName(bytes, info != NULL ? ::SizeofResource(NULL, info) : 0);
    if (!name.empty()) ::CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
    return InstanceLockName(name);
}

}  // namespace Quorvel
