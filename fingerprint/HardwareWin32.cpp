#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <wbemidl.h>
#include <cpuid.h>

#include "core/HandlesWin32.h"
#include "core/Text.h"
#include "fingerprint/Hardware.h"

namespace Quorvel {

namespace {

// One WMI connection to ROOT\CIMV2 with its own COM initialisation.
class QVWmiConnection {
public:
    QVWmiConnection() {}
    ~QVWmiConnection() { CloseWmi(); }
    QVWmiConnection(const QVWmiConnection&) = delete;
    QVWmiConnection& operator=(const QVWmiConnection&) = delete;

    void ConnectWmi() {
        ::CoInitialize(NULL);
        m_initialized = true;
        ::CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE, NULL,
                               EOAC_NONE, NULL);
        if (FAILED(::CoCreateInstance(CLSID_WbemLocator, NULL, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                      locator.put_void())) ||
            locator.get() == NULL) {
            return;
        }
        QVBstr space(L"ROOT\\CIMV2");
        if (space.get() == NULL) return;
        if (FAILED(locator->ConnectServer(space.get(), NULL, NULL, NULL, 0, NULL, NULL, services.put()))) {
            services.reset();
            return;
        }
        if (services.get() != NULL) {
            ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, NULL, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, NULL, EOAC_NONE);
        }
    }
    // Releases both interfaces; CoUninitialize pairs ConnectWmi's CoInitialize.
    void CloseWmi() {
        services.reset();
        locator.reset();
        if (m_initialized) ::CoUninitialize();
        m_initialized = false;
    }

    QVComPtr<IWbemServices> services;
    QVComPtr<IWbemLocator> locator;

private:
    bool m_initialized = false;
};

// The value as a 32-bit integer; false when it is null or does not convert.
bool ToInt32(VARIANT* value, int32_t* out) {
    if (value->vt == VT_NULL || value->vt == VT_EMPTY) return false;
    if (value->vt != VT_I4 && FAILED(::VariantChangeType(value, value, 0, VT_I4))) return false;
    *out = value->lVal;
    return true;
}

std::wstring ToText(VARIANT* value) {
    if (value->vt == VT_EMPTY) return std::wstring();
    if (value->vt != VT_BSTR && FAILED(::VariantChangeType(value, value, 0, VT_BSTR))) return std::wstring();
    return value->bstrVal != NULL ? std::wstring(value->bstrVal) : std::wstring();
}

}  // namespace

bool CollectProcessors(QVProcessorRecord* record) {
    uint32_t& processorCount = record->count;
    for (;;) {
        wchar_t path[256] = {0};
        _snwprintf(path, 255, L"Win32_Processor.DeviceID=\"CPU%d\"", static_cast<int>(processorCount));
        QVBstr objectPath(path);
        if (objectPath.get() == NULL) break;
        QVWmiConnection wmi;
        wmi.ConnectWmi();
        if (wmi.services.get() == NULL) break;
        QVComPtr<IWbemClassObject> processor;
        if (wmi.services->GetObject(objectPath.get(), 0, NULL, processor.put(), NULL) != S_OK || processor.get() == NULL) {
            break;  // no processor with this index
        }
        QVVariant speed;
        // A processor whose clock cannot be read ends the count: asking for
        // it again would never end.
        if (processor->Get(L"CurrentClockSpeed", 0, speed.get(), NULL, NULL) != S_OK) break;
        // A clock that is null or not a number counts the processor at 0 MHz.
        int32_t mhz = 0;
        ToInt32(speed.get(), &mhz);
        ++processorCount;
        record->clockSpeeds.push_back(static_cast<uint32_t>(mhz));
        record->clockSpeedSum += static_cast<uint32_t>(mhz);
    }

    uint32_t registers[12];
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        __cpuid(0x80000002u + leaf, a, b, c, d);
        registers[4 * leaf] = a;
        registers[4 * leaf + 1] = b;
        registers[4 * leaf + 2] = c;
        registers[4 * leaf + 3] = d;
    }
    record->name = AnsiToWide(BrandStringBytes(registers).c_str());
    TrimLeft(record->name, L" \r\t\n");
    TrimRight(record->name, L" \r\t\n");
    if (processorCount == 0) return false;
    record->processorClass = ProcessorClassOf(record->name);
    return true;
}

bool CollectDisplayAdapters(std::vector<QVDisplayAdapter>* displayAdapters) {
    QVWmiConnection wmi;
    wmi.ConnectWmi();
    if (wmi.services.get() == NULL) return false;
    QVBstr className(L"Win32_VideoController");
    if (className.get() == NULL) return false;
    QVComPtr<IEnumWbemClassObject> instances;
    if (FAILED(wmi.services->CreateInstanceEnum(className.get(), WBEM_FLAG_SHALLOW, NULL, instances.put())) ||
        instances.get() == NULL) {
        return false;
    }
    for (;;) {
        QVComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        const HRESULT result = instances->Next(10000, 1, object.put(), &returned);
        if (result == WBEM_S_FALSE || returned == 0 || object.get() == NULL) break;
        if (result != S_OK) continue;
        QVDisplayAdapter adapter;
        static const wchar_t* const kTexts[] = {L"Name", L"PNPDeviceID"};
        std::wstring* const texts[] = {&adapter.name, &adapter.pnpDeviceId};
        for (int i = 0; i < 2; ++i) {
            QVVariant value;
            if (SUCCEEDED(object->Get(kTexts[i], 0, value.get(), NULL, NULL)) && value.get()->vt != VT_NULL) {
                *texts[i] = ToText(value.get());
            }
        }
        static const wchar_t* const kNumbers[] = {L"AdapterRAM", L"MinRefreshRate", L"MaxRefreshRate"};
        int32_t* const numbers[] = {&adapter.adapterRam, &adapter.minRefreshRate, &adapter.maxRefreshRate};
        for (int i = 0; i < 3; ++i) {
            QVVariant value;
            if (SUCCEEDED(object->Get(kNumbers[i], 0, value.get(), NULL, NULL))) ToInt32(value.get(), numbers[i]);
        }
        displayAdapters->push_back(adapter);
    }
    return !displayAdapters->empty();
}

}  // namespace Quorvel
