#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <lm.h>

#include "fingerprint/Adapters.h"

#include "core/Buffer.h"
#include "core/HandlesWin32.h"
#include "core/Text.h"

namespace Quorvel {

namespace {

typedef DWORD(WINAPI* GetAdaptersInfoFn)(PIP_ADAPTER_INFO, PULONG);
typedef DWORD(WINAPI* GetIfEntryFn)(PMIB_IFROW);
typedef NET_API_STATUS(WINAPI* NetWkstaTransportEnumFn)(LPWSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, LPDWORD);
typedef NET_API_STATUS(WINAPI* NetApiBufferFreeFn)(LPVOID);

const wchar_t kNetworkCards[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const wchar_t kConnections[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
const wchar_t kTcpipInterfaces[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

void ReadInterfaceRow(DWORD index, QVAdapterRecord& record) {
    MIB_IFROW row;
    ::ZeroMemory(&row, sizeof(row));
    row.dwIndex = index;
    QVLibrary library = LoadSystemLibrary(L"iphlpapi.dll");
    GetIfEntryFn getIfEntry = GetProc<GetIfEntryFn>(library.get(), "GetIfEntry");
    if (getIfEntry == NULL || getIfEntry(&row) != NO_ERROR) ::ZeroMemory(&row, sizeof(row));
    record.operStatus = row.dwOperStatus;
    record.inOctets = row.dwInOctets;
}

bool Open(HKEY root, const std::wstring& path, QVRegKey& key) {
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace

std::wstring QueryRegistryText(HKEY key, const wchar_t* name) {
    wchar_t buffer[261];
    ::ZeroMemory(buffer, sizeof(buffer));
    DWORD size = 520;
    if (::RegQueryValueExW(key, name, NULL, NULL, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    buffer[260] = 0;
    return buffer;
}

QVAdapterInventory::QVAdapterInventory() {
    CollectAdapters();
    CollectTransports();
    CollectNetworkCards();
}

bool QVAdapterInventory::CollectAdapters() {
    QVLibrary library = LoadSystemLibrary(L"iphlpapi.dll");
    GetAdaptersInfoFn getAdaptersInfo = GetProc<GetAdaptersInfoFn>(library.get(), "GetAdaptersInfo");
    if (getAdaptersInfo == NULL) return false;
    ULONG size = 0;
    getAdaptersInfo(NULL, &size);
    if (size == 0) return false;
    QVBuffer<unsigned char> buffer;
    if (!buffer.Resize(size)) return false;
    if (getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.Data()), &size) != NO_ERROR) return false;
    for (PIP_ADAPTER_INFO info = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.Data()); info != NULL; info = info->Next) {
        QVAdapterRecord record;
        ReadInterfaceRow(info->Index, record);
        info->AdapterName[sizeof(info->AdapterName) - 1] = 0;
        info->Description[sizeof(info->Description) - 1] = 0;
        record.name = AnsiToWide(info->AdapterName);
        record.description = AnsiToWide(info->Description);
        for (int i = 0; i < 6; ++i) record.mac[i] = info->Address[i];
        record.macText = FormatMac(record.mac);
        record.ipAddress = AnsiToWide(info->IpAddressList.IpAddress.String);
        record.gateway = AnsiToWide(info->GatewayList.IpAddress.String);
        record.ipMask = AnsiToWide(info->IpAddressList.IpMask.String);
        adapters.push_back(record);
    }
    return true;
}

bool QVAdapterInventory::CollectTransports() {
    QVLibrary library = LoadSystemLibrary(L"netapi32.dll");
    NetApiBufferFreeFn bufferFree = GetProc<NetApiBufferFreeFn>(library.get(), "NetApiBufferFree");
    NetWkstaTransportEnumFn transportEnum = GetProc<NetWkstaTransportEnumFn>(library.get(), "NetWkstaTransportEnum");
    if (bufferFree == NULL || transportEnum == NULL) return false;
    LPBYTE buffer = NULL;
    DWORD read = 0, total = 0;
    if (transportEnum(NULL, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, NULL) != NERR_Success || buffer == NULL) {
        return false;
    }
    const WKSTA_TRANSPORT_INFO_0* entries = reinterpret_cast<const WKSTA_TRANSPORT_INFO_0*>(buffer);
    for (DWORD i = 1; i < read; ++i) {  // the first transport is never used
        QVTransportRecord record;
        ParseTransportAddress(entries[i].wkti0_transport_address ? entries[i].wkti0_transport_address : L"",
                              record.mac);
        record.macText = FormatMac(record.mac);
        record.key = TransportKey(entries[i].wkti0_transport_name ? entries[i].wkti0_transport_name : L"");
        bool seen = false;
        for (size_t k = 0; k < transports.size() && !seen; ++k) seen = transports[k].macText == record.macText;
        if (!seen) transports.push_back(record);
    }
    bufferFree(buffer);
    return true;
}

bool QVAdapterInventory::CollectNetworkCards() {
    QVRegKey cards;
    if (!Open(HKEY_LOCAL_MACHINE, kNetworkCards, cards)) return false;
    DWORD subkeys = 0, longest = 0;
    if (::RegQueryInfoKeyW(cards.get(), NULL, NULL, NULL, &subkeys, &longest, NULL, NULL, NULL, NULL, NULL, NULL) !=
            ERROR_SUCCESS ||
        subkeys > 1024 || longest > 1024) {
        return false;
    }
    for (DWORD index = 0; index < subkeys; ++index) {
        QVBuffer<wchar_t> name;
        if (!name.Resize(longest + 2)) continue;
        ::ZeroMemory(name.Data(), (longest + 2) * sizeof(wchar_t));
        if (::RegEnumKeyW(cards.get(), index, name.Data(), longest + 1) != ERROR_SUCCESS) continue;
        name.Data()[longest + 1] = 0;
        QVRegKey card;
        if (!Open(cards.get(), name.Data(), card)) continue;
        QVNetworkCardRecord record;
        record.serviceName = QueryRegistryText(card.get(), L"ServiceName");
        record.description = QueryRegistryText(card.get(), L"Description");
        if (!record.serviceName.empty()) {
            QVRegKey connection;
            if (Open(HKEY_LOCAL_MACHINE, kConnections + record.serviceName + L"\\Connection", connection)) {
                record.connectionName = QueryRegistryText(connection.get(), L"Name");
            }
            if (!record.connectionName.empty()) {
                QVRegKey tcpip;
                if (!Open(HKEY_LOCAL_MACHINE, kTcpipInterfaces + record.serviceName, tcpip)) record.connectionName.clear();
            }
        }
        if (!record.connectionName.empty()) networkCards.push_back(record);
    }
    return true;
}

}  // namespace Quorvel
