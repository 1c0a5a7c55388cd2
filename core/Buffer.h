#ifndef QV_CORE_BUFFER_H
#define QV_CORE_BUFFER_H

#include <stdint.h>
#include <string.h>
#include <new>

namespace Quorvel {

// An owned heap array. Resizing keeps the leading elements; resizing to 0,
// or an allocation that fails, leaves no array (callers test Data()).
template <class T>
class QVBuffer {
public:
    QVBuffer() : m_count(0), m_data(0), m_used(0) {}
    explicit QVBuffer(uint32_t count) : m_count(0), m_data(0), m_used(0) { Resize(count); }
    virtual ~QVBuffer() { delete[] m_data; }

    QVBuffer(const QVBuffer&) = delete;
    QVBuffer& operator=(const QVBuffer&) = delete;

    bool Resize(uint32_t count) {
        if (count == m_count) return m_data != 0 || count == 0;
        T* fresh = 0;
        if (count != 0) {
            fresh = new (std::nothrow) T[count];
            if (fresh != 0 && m_data != 0) {
                memcpy(fresh, m_data, sizeof(T) * (count < m_count ? count : m_count));
            }
        }
        delete[] m_data;
        m_data = fresh;
        m_count = fresh != 0 ? count : 0;
        return fresh != 0 || count == 0;
    }

    uint32_t Count() const { return m_count; }
    T* Data() { return m_data; }
    const T* Data() const { return m_data; }

private:
    uint32_t m_count;
    T* m_data;
    uint32_t m_used;  // starts at 0; no operation here needs it yet
};

}  // namespace Quorvel

#endif
