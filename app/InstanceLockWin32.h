#ifndef QV_APP_INSTANCELOCKWIN32_H
#define QV_APP_INSTANCELOCKWIN32_H

#include <string>

#include "core/HandlesWin32.h"

namespace Quorvel {

// One installation of a game at a time in this session: a named mutex. A
// run that ends without releasing it, even by crashing, leaves it
// abandoned, and the next run takes it over. Beside it a second one, held
// by the run that waits next and will start the client when it has
// installed, so that the run before leaves the start to it; a waiter that
// dies leaves it abandoned, which reads as nobody waiting.
class QVInstanceLock {
public:
    explicit QVInstanceLock(const std::wstring& name);
    ~QVInstanceLock() { Release(); }
    QVInstanceLock(const QVInstanceLock&) = delete;
    QVInstanceLock& operator=(const QVInstanceLock&) = delete;

    // At once: false while another run holds it. When no lock can be made
    // at all, nothing is kept from installing: true.
    bool TryAcquire();
    // Until this run holds it, however long. With startsClient, the run
    // queues as the next to start the client (behind one queued before).
    void Wait(bool startsClient);
    // Whether a run that will start the client waits for the lock now.
    bool ClientStarterWaiting();
    // Whether this run queued as the one to start the client.
    bool WaitedToStart() const { return m_waitedToStart; }
    void Release();

private:
    QVKernelHandle m_mutex;
    QVKernelHandle m_next;
    bool m_held;
    bool m_waitedToStart;
};

// The [game] name of a settings file's bytes, as the profile functions
// read it: a byte-order mark chooses UTF-16 or UTF-8, else the players'
// code page.
std::wstring SettingsGameName(const char* bytes, size_t size);

// The lock's name for the game of the settings file this program carries
// (its [game] name as the players' code page reads it).
std::wstring OwnGameLockName();

}  // namespace Quorvel

#endif
