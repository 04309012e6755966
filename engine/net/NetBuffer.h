// Byte buffers of the connections, with storage taken from and returned to
// a process-wide pool. The unread bytes always start at Data(); the storage
// keeps one extra byte so that the contents stay zero-terminated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lf {

class QNetBuffer {
public:
    QNetBuffer() = default;
    ~QNetBuffer() { Release(); }
    QNetBuffer(const QNetBuffer&) = delete;
    QNetBuffer& operator=(const QNetBuffer&) = delete;

    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }
    size_t Spare() const { return m_capacity - m_size; }

    // Makes room for `need` more bytes: when less is free, the capacity
    // grows by need + extra. False when memory runs out.
    bool Reserve(size_t need, size_t extra);
    // Appends bytes (growing by the needed size plus 1024 when short).
    bool Append(const void* bytes, size_t count);
    // Where to write new bytes (after Reserve) and how many were written.
    uint8_t* WritePointer() { return m_data + m_size; }
    void Commit(size_t count);
    // Drops `count` bytes from the front (all when count >= Size()); the rest
    // moves to the front and the storage shrinks when it became much larger
    // than the rest. An emptied buffer gives its storage back to the pool.
    void Consume(size_t count);
    // Gives the storage back to the pool.
    void Release();

    // Bytes held by the pool (for tests).
    static size_t PooledBytes();

private:
    void Resize(size_t capacity);

    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;  // usable bytes; the storage holds one more
};

}  // namespace lf
