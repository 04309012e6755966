#include "engine/store/BufferPool.h"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace lf {

namespace {

// Free chunks kept for reuse; beyond this they go back to the system.
constexpr size_t kKeepChunks = 256;
constexpr size_t kKeepContexts = 256;

struct Pools {
    std::mutex lock;
    std::vector<char*> chunks;
    std::vector<std::unique_ptr<TSha1Context>> contexts;
    size_t inUse = 0;
};

Pools& P() {
    static Pools* pools = new Pools;  // lives for the whole process
    return *pools;
}

}  // namespace

char* AcquireChunk() {
    Pools& p = P();
    {
        std::lock_guard<std::mutex> g(p.lock);
        if (!p.chunks.empty()) {
            char* c = p.chunks.back();
            p.chunks.pop_back();
            ++p.inUse;
            return c;
        }
    }
    char* c = static_cast<char*>(std::aligned_alloc(4096, kPoolChunkBytes));
    if (c != nullptr) {
        std::lock_guard<std::mutex> g(p.lock);
        ++p.inUse;
    }
    return c;
}

void ReleaseChunk(char* chunk) {
    if (chunk == nullptr) return;
    Pools& p = P();
    std::unique_lock<std::mutex> g(p.lock);
    --p.inUse;
    if (p.chunks.size() < kKeepChunks) {
        p.chunks.push_back(chunk);
        return;
    }
    g.unlock();
    std::free(chunk);
}

size_t ChunksInUse() {
    std::lock_guard<std::mutex> g(P().lock);
    return P().inUse;
}

std::unique_ptr<TSha1Context> AcquireSha1() {
    Pools& p = P();
    {
        std::lock_guard<std::mutex> g(p.lock);
        if (!p.contexts.empty()) {
            auto c = std::move(p.contexts.back());
            p.contexts.pop_back();
            c->Reset();
            return c;
        }
    }
    return std::make_unique<TSha1Context>();
}

void ReleaseSha1(std::unique_ptr<TSha1Context> ctx) {
    if (!ctx) return;
    Pools& p = P();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.contexts.size() < kKeepContexts) p.contexts.push_back(std::move(ctx));
}

}  // namespace lf
