#include "app/UpdateWaitWin32.h"

#include "core/Names.h"

namespace Quorvel {

QVProcessEntry::QVProcessEntry() {
    ::ZeroMemory(&m_record, sizeof(m_record));
    m_record.dwSize = sizeof(m_record);
}

ProcessSnapshot::ProcessSnapshot(DWORD flags) : m_handle(::CreateToolhelp32Snapshot(flags, 0)), m_flags(flags) {}

bool ProcessSnapshot::CanEnumerate(const boost::shared_ptr<QVProcessEntry>& entry) const {
    return m_handle.valid() && (m_flags & TH32CS_SNAPPROCESS) != 0 && entry;
}

bool ProcessSnapshot::First(boost::shared_ptr<QVProcessEntry> entry) {
    return CanEnumerate(entry) && ::Process32FirstW(m_handle.get(), &entry->Record()) != FALSE;
}

bool ProcessSnapshot::Next(boost::shared_ptr<QVProcessEntry> entry) {
    return CanEnumerate(entry) && ::Process32NextW(m_handle.get(), &entry->Record()) != FALSE;
}

bool IsProcessRunning(const std::wstring& name) {
    const DWORD own = ::GetCurrentProcessId();
    const std::wstring target = name + kClientExtension;
    boost::shared_ptr<QVProcessEntry> entry(new QVProcessEntry());
    ProcessSnapshot snapshot(TH32CS_SNAPPROCESS);
    snapshot.First(entry);
    for (;;) {
        PROCESSENTRY32W& record = entry->Record();
        record.szExeFile[MAX_PATH - 1] = 0;
        if (target == record.szExeFile && record.th32ProcessID != own) return true;
        if (!snapshot.Next(entry)) return false;
    }
}

}  // namespace Quorvel
