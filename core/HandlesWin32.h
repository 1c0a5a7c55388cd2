#ifndef QV_CORE_HANDLESWIN32_H
#define QV_CORE_HANDLESWIN32_H

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

namespace Quorvel {

// Sole owner of one handle; the traits name its type, its empty values and
// how it is released. Releasing keeps GetLastError, which callers read after
// the owner is gone, and forgets the handle even if the release fails: a
// double close is worse than a leak.
template <class Traits>
class QVUniqueHandle {
public:
    typedef typename Traits::Type Type;

    QVUniqueHandle() : m_handle(Traits::Empty()) {}
    explicit QVUniqueHandle(Type handle) : m_handle(handle) {}
    ~QVUniqueHandle() { reset(); }

    QVUniqueHandle(QVUniqueHandle&& other) : m_handle(other.release()) {}
    QVUniqueHandle& operator=(QVUniqueHandle&& other) {
        if (this != &other) reset(other.release());
        return *this;
    }
    QVUniqueHandle(const QVUniqueHandle&) = delete;
    QVUniqueHandle& operator=(const QVUniqueHandle&) = delete;

    Type get() const { return m_handle; }
    bool valid() const { return Traits::IsValid(m_handle); }
    Type* put() {
        reset();
        return &m_handle;
    }
    Type release() {
        const Type handle = m_handle;
        m_handle = Traits::Empty();
        return handle;
    }
    void reset(Type handle = Traits::Empty()) {
        if (Traits::IsValid(m_handle)) {
            const DWORD saved = ::GetLastError();
            Traits::Close(m_handle);
            ::SetLastError(saved);
        }
        m_handle = handle;
    }

private:
    Type m_handle;
};

// Kernel handles: CreateFileW and Toolhelp report failure as
// INVALID_HANDLE_VALUE, other calls as NULL; both mean "none".
struct QVKernelHandleTraits {
    typedef HANDLE Type;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != NULL && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
typedef QVUniqueHandle<QVKernelHandleTraits> QVKernelHandle;  // snapshots, processes, mutexes
typedef QVKernelHandle QVFileHandle;

struct QVLibraryTraits {
    typedef HMODULE Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
typedef QVUniqueHandle<QVLibraryTraits> QVLibrary;

struct QVRegKeyTraits {
    typedef HKEY Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::RegCloseKey(h); }
};
typedef QVUniqueHandle<QVRegKeyTraits> QVRegKey;  // never for predefined keys

// A library of the system folder, loaded by its full path: a bare name
// would be looked up in the program's own folder first, where a downloaded
// installer may have company.
inline QVLibrary LoadSystemLibrary(const wchar_t* name) {
    wchar_t path[MAX_PATH + 64] = {0};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return QVLibrary();
    ::lstrcatW(path, L"\\");
    ::lstrcatW(path, name);
    return QVLibrary(::LoadLibraryW(path));
}

// A function of a loaded module by name; NULL when either is missing.
template <class Fn>
Fn GetProc(HMODULE module, const char* name) {
    if (module == NULL) return NULL;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A BSTR, freed with SysFreeString; NULL when it could not be made.
class QVBstr {
public:
    explicit QVBstr(const wchar_t* text) : m_text(::SysAllocString(text)) {}
    ~QVBstr() { ::SysFreeString(m_text); }
    QVBstr(const QVBstr&) = delete;
    QVBstr& operator=(const QVBstr&) = delete;
    BSTR get() const { return m_text; }

private:
    BSTR m_text;
};

// A VARIANT, initialised empty and cleared when the owner goes.
class QVVariant {
public:
    QVVariant() { ::VariantInit(&m_value); }
    ~QVVariant() { ::VariantClear(&m_value); }
    QVVariant(const QVVariant&) = delete;
    QVVariant& operator=(const QVVariant&) = delete;
    VARIANT* get() { return &m_value; }
    void clear() { ::VariantClear(&m_value); }

private:
    VARIANT m_value;
};

// A movable global memory block, locked for the owner's lifetime.
class QVGlobalMemory {
public:
    explicit QVGlobalMemory(SIZE_T size) : m_block(::GlobalAlloc(GMEM_MOVEABLE, size)), m_data(NULL) {
        if (m_block != NULL) m_data = ::GlobalLock(m_block);
    }
    ~QVGlobalMemory() {
        if (m_data != NULL) ::GlobalUnlock(m_block);
        if (m_block != NULL) ::GlobalFree(m_block);
    }
    QVGlobalMemory(const QVGlobalMemory&) = delete;
    QVGlobalMemory& operator=(const QVGlobalMemory&) = delete;
    void* data() const { return m_data; }  // NULL when allocation or lock failed

private:
    HGLOBAL m_block;
    void* m_data;
};

// One reference to a COM interface, released when the owner goes.
template <class T>
class QVComPtr {
public:
    QVComPtr() : m_ptr(NULL) {}
    ~QVComPtr() { reset(); }
    QVComPtr(const QVComPtr&) = delete;
    QVComPtr& operator=(const QVComPtr&) = delete;

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T** put() {
        reset();
        return &m_ptr;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (m_ptr == NULL) return;
        T* ptr = m_ptr;
        m_ptr = NULL;
        ptr->Release();
    }

private:
    T* m_ptr;
};

// COM on this thread for the owner's lifetime. CoUninitialize only pairs a
// successful CoInitializeEx (S_OK or S_FALSE), never RPC_E_CHANGED_MODE.
class QVComApartment {
public:
    explicit QVComApartment(DWORD model) : m_initialized(SUCCEEDED(::CoInitializeEx(NULL, model))) {}
    ~QVComApartment() {
        if (m_initialized) ::CoUninitialize();
    }
    QVComApartment(const QVComApartment&) = delete;
    QVComApartment& operator=(const QVComApartment&) = delete;

private:
    bool m_initialized;
};

}  // namespace Quorvel

#endif
