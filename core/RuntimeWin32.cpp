// The installer's own C++ runtime hooks. The standard library would answer
// an allocation failure or a length error by throwing, and an uncaught
// exception ends in a runtime error box and a non-zero exit code. This
// program shows nothing and always exits with 0, and its code is built
// without exceptions: each such failure ends the process quietly instead.
// Replacing these also keeps libstdc++'s exception and demangling machinery
// out of the executable.
#include <windows.h>

#include <bits/functexcept.h>
#include <exception>
#include <new>

#include <boost/throw_exception.hpp>

namespace {

[[noreturn]] void QuitSilently() { ::ExitProcess(0); }

void* Allocate(size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size != 0 ? size : 1); }

void* AllocateOrQuit(size_t size) {
    void* p = Allocate(size);
    if (p == NULL) QuitSilently();
    return p;
}

void Free(void* p) {
    if (p != NULL) ::HeapFree(::GetProcessHeap(), 0, p);
}

}  // namespace

void* operator new(size_t size) { return AllocateOrQuit(size); }
void* operator new[](size_t size) { return AllocateOrQuit(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }

namespace std {
void __throw_bad_exception() { QuitSilently(); }
void __throw_bad_alloc() { QuitSilently(); }
void __throw_bad_array_new_length() { QuitSilently(); }
void __throw_bad_cast() { QuitSilently(); }
void __throw_bad_typeid() { QuitSilently(); }
void __throw_logic_error(const char*) { QuitSilently(); }
void __throw_domain_error(const char*) { QuitSilently(); }
void __throw_invalid_argument(const char*) { QuitSilently(); }
void __throw_length_error(const char*) { QuitSilently(); }
void __throw_out_of_range(const char*) { QuitSilently(); }
void __throw_out_of_range_fmt(const char*, ...) { QuitSilently(); }
void __throw_runtime_error(const char*) { QuitSilently(); }
void __throw_range_error(const char*) { QuitSilently(); }
void __throw_overflow_error(const char*) { QuitSilently(); }
void __throw_underflow_error(const char*) { QuitSilently(); }
void __throw_bad_function_call() { QuitSilently(); }
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept { QuitSilently(); }
}  // namespace std

namespace __gnu_cxx {
void __verbose_terminate_handler() { QuitSilently(); }
}  // namespace __gnu_cxx

namespace boost {
void throw_exception(const std::exception&) { QuitSilently(); }
void throw_exception(const std::exception&, const boost::source_location&) { QuitSilently(); }
}  // namespace boost
