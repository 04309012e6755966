#include "engine/net/NetBuffer.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace lf {

namespace {

constexpr size_t kMaxPooledCapacity = 65536;
constexpr size_t kMaxPooledBlocks = 64;

// The pool lives until the process ends (never destroyed, so that buffers
// released by static objects at exit still find it).
struct Pool {
    std::mutex lock;
    std::vector<std::pair<uint8_t*, size_t>> blocks;  // storage and its usable capacity
};
Pool& ThePool() {
    static Pool* pool = new Pool;
    return *pool;
}

// A block of at least `capacity` usable bytes (plus the terminator byte).
std::pair<uint8_t*, size_t> TakeBlock(size_t capacity) {
    {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> g(pool.lock);
        for (size_t i = 0; i < pool.blocks.size(); ++i) {
            auto block = pool.blocks[i];
            if (block.second >= capacity && block.second <= capacity * 2 + 4096) {
                pool.blocks[i] = pool.blocks.back();
                pool.blocks.pop_back();
                return block;
            }
        }
    }
    auto* p = static_cast<uint8_t*>(std::malloc(capacity + 1));
    return {p, p ? capacity : 0};
}

void GiveBlock(uint8_t* p, size_t capacity) {
    if (!p) return;
    if (capacity <= kMaxPooledCapacity) {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> g(pool.lock);
        if (pool.blocks.size() < kMaxPooledBlocks) {
            pool.blocks.emplace_back(p, capacity);
            return;
        }
    }
    std::free(p);
}

}  // namespace

size_t QNetBuffer::PooledBytes() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> g(pool.lock);
    size_t n = 0;
    for (auto& b : pool.blocks) n += b.second;
    return n;
}

void QNetBuffer::Resize(size_t capacity) {
    if (capacity < m_size) capacity = m_size;
    auto block = TakeBlock(capacity);
    if (!block.first) return;
    if (m_size) std::memcpy(block.first, m_data, m_size);
    block.first[m_size] = 0;
    GiveBlock(m_data, m_capacity);
    m_data = block.first;
    m_capacity = block.second;
}

bool QNetBuffer::Reserve(size_t need, size_t extra) {
    if (Spare() >= need && m_data) return true;
    Resize(m_capacity + need + extra);
    return Spare() >= need && m_data;
}

bool QNetBuffer::Append(const void* bytes, size_t count) {
    if (count == 0) return true;
    if (!Reserve(count, 1024)) return false;
    std::memcpy(m_data + m_size, bytes, count);
    Commit(count);
    return true;
}

void QNetBuffer::Commit(size_t count) {
    if (count > Spare()) count = Spare();
    m_size += count;
    if (m_data) m_data[m_size] = 0;
}

void QNetBuffer::Consume(size_t count) {
    if (count >= m_size) {
        m_size = 0;
        Release();
        return;
    }
    if (count == 0) return;
    m_size -= count;
    std::memmove(m_data, m_data + count, m_size);
    m_data[m_size] = 0;
    if (m_capacity > 4096 && m_capacity >= 6 * m_size) {
        size_t target = m_size + 1024;
        Resize(target < 1024 ? 1024 : target);
    } else if (m_capacity - m_size > 2u * 1024 * 1024 && m_size <= 20u * 1024 * 1024) {
        Resize(m_size + m_size / 10);
    }
}

void QNetBuffer::Release() {
    GiveBlock(m_data, m_capacity);
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
}

}  // namespace lf
