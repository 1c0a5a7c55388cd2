#ifndef QV_APP_UPDATEWAITWIN32_H
#define QV_APP_UPDATEWAITWIN32_H

#include <string>

#include <windows.h>
#include <tlhelp32.h>

#include <boost/shared_ptr.hpp>

#include "core/HandlesWin32.h"

namespace Quorvel {

// One Toolhelp process record, zeroed with its size set.
class QVProcessEntry {
public:
    QVProcessEntry();
    PROCESSENTRY32W& Record() { return m_record; }

private:
    PROCESSENTRY32W m_record;
};

// A Toolhelp snapshot and the flags it was taken with.
class ProcessSnapshot {
public:
    explicit ProcessSnapshot(DWORD flags);

    bool First(boost::shared_ptr<QVProcessEntry> entry);
    bool Next(boost::shared_ptr<QVProcessEntry> entry);

private:
    bool CanEnumerate(const boost::shared_ptr<QVProcessEntry>& entry) const;

    QVKernelHandle m_handle;
    DWORD m_flags;
};

// True while a process other than this one has the image name
// name + ".exe" (exact letter case).
bool IsProcessRunning(const std::wstring& name);

}  // namespace Quorvel

#endif
