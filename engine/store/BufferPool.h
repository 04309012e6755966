// Process-wide pools for piece buffers: chunks of up to 128 KiB for received
// data, and SHA-1 contexts. Shared by every task, locked.
#pragma once

#include <cstddef>
#include <memory>

#include "engine/store/Sha1Context.h"

namespace lf {

constexpr size_t kPoolChunkBytes = 128 * 1024;

// A chunk of kPoolChunkBytes bytes. Returns nullptr when memory is exhausted.
char* AcquireChunk();
void ReleaseChunk(char* chunk);
// Chunks currently handed out (for tests and statistics).
size_t ChunksInUse();

std::unique_ptr<TSha1Context> AcquireSha1();
void ReleaseSha1(std::unique_ptr<TSha1Context> ctx);

}  // namespace lf
