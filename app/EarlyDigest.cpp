#include "app/EarlyDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace lfapp {

namespace {

// One read: large enough for few system calls, small enough to stay in the
// processor's cache between the read and the digest.
constexpr size_t kReadBlock = 256 * 1024;
// Blocks hashed on one file before the thread looks at the others.
constexpr int kBlocksPerTurn = 16;
// How long the thread sleeps when no file has anything new (it is also woken
// by Notify and Lookup).
constexpr auto kIdleWait = std::chrono::milliseconds(20);

EVP_MD_CTX* Context(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void FromStat(const struct stat& st, DiskStamp* stamp) {
    stamp->device = st.st_dev;
    stamp->inode = st.st_ino;
    stamp->size = st.st_size;
    stamp->modified = st.st_mtim;
    stamp->changed = st.st_ctim;
}

}  // namespace

std::string HexDigest(const unsigned char* digest, unsigned int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int k = 0; k < length; ++k) {
        hex += kDigits[digest[k] >> 4];
        hex += kDigits[digest[k] & 15];
    }
    return hex;
}

bool DiskStamp::operator==(const DiskStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

bool StampOf(int fd, DiskStamp* stamp) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return false;
    FromStat(st, stamp);
    return true;
}

bool StampOf(const std::string& path, DiskStamp* stamp) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    FromStat(st, stamp);
    return true;
}

CEarlyDigest::CEarlyDigest(std::vector<File> files, PrefixFunction prefix)
    : m_prefix(std::move(prefix)) {
    m_entries.resize(files.size());
    for (size_t i = 0; i < files.size(); ++i) m_entries[i].file = std::move(files[i]);
}

CEarlyDigest::~CEarlyDigest() {
    Stop();
    for (Entry& e : m_entries) CloseEntry(e);
}

void CEarlyDigest::Start() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_threads.empty() || m_stop) return;
    // Two threads: once the download ends, the files still to hash use both
    // cores of a small machine.
    const int count = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 2);
    for (int w = 0; w < count; ++w) m_threads.emplace_back([this, w] { ThreadBody(w); });
}

void CEarlyDigest::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_changed.notify_all();
    for (std::thread& t : m_threads) {
        if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
    }
}

void CEarlyDigest::Notify() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_notified = true;
    }
    m_wake.notify_one();
}

void CEarlyDigest::Forget(int i) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (i < 0 || static_cast<size_t>(i) >= m_entries.size()) return;
    Entry& e = m_entries[i];
    ++e.generation;
    e.state = State::Following;
    e.md5.clear();
    e.stamp = DiskStamp{};
    m_notified = true;
    m_wake.notify_one();
}

bool CEarlyDigest::Lookup(int i, std::string* md5,
                          const std::function<void(int64_t done)>& progress,
                          const std::atomic<bool>& stop, int stallMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (i < 0 || static_cast<size_t>(i) >= m_entries.size()) return false;
    Entry& e = m_entries[i];
    const bool running = !m_threads.empty() && !m_stop;
    if (running) {
        m_priority = i;
        m_notified = true;
        m_wake.notify_all();
    }
    int64_t seen = -1;
    auto lastChange = std::chrono::steady_clock::now();
    bool found = false;
    for (;;) {
        if (e.state == State::Done) {
            DiskStamp now;
            found = StampOf(e.file.finalPath, &now) && now == e.stamp;
            if (found) *md5 = e.md5;
            break;
        }
        if (!running || e.state == State::Failed || m_stop || stop.load()) break;
        auto now = std::chrono::steady_clock::now();
        if (e.hashed != seen) {
            seen = e.hashed;
            lastChange = now;
            if (progress) progress(seen);
        } else if (now - lastChange >= std::chrono::milliseconds(stallMs)) {
            break;
        }
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (m_priority == i) m_priority = -1;
    return found;
}

void CEarlyDigest::ThreadBody(int worker) {
    std::vector<unsigned char> buffer(kReadBlock);
    std::unique_lock<std::mutex> lock(m_mutex);
    const int n = static_cast<int>(m_entries.size());
    int next = worker;
    while (!m_stop) {
        bool worked = false;
        for (int k = 0; k < n && !m_stop; ++k) {
            // The file a Lookup waits for first, then each in turn.
            int i = m_priority >= 0 && m_priority < n && !m_entries[m_priority].busy ? m_priority
                                                                                     : next++ % n;
            Entry& e = m_entries[i];
            if (e.busy) continue;  // the other thread has it
            e.busy = true;
            lock.unlock();
            bool did = false;
            for (int b = 0; b < kBlocksPerTurn && Step(i, buffer); ++b) did = true;
            lock.lock();
            e.busy = false;
            worked = worked || did;
        }
        if (!worked && !m_stop) {
            if (!m_notified) m_wake.wait_for(lock, kIdleWait);
            m_notified = false;
        }
    }
}

bool CEarlyDigest::OpenEntry(Entry& e) {
    int fd = ::open(e.file.finalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fd = ::open(e.file.tempPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        ::close(fd);
        return false;
    }
    e.fd = fd;
    e.context = ctx;
    e.position = 0;
    return true;
}

void CEarlyDigest::CloseEntry(Entry& e) {
    if (e.fd >= 0) ::close(e.fd);
    e.fd = -1;
    EVP_MD_CTX_free(Context(e.context));
    e.context = nullptr;
    e.position = 0;
}

void CEarlyDigest::Publish(Entry& e, uint64_t generation, State state, const std::string& md5,
                           const DiskStamp& stamp) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (e.generation != generation) return;
        e.hashed = e.position;
        e.state = state;
        e.md5 = md5;
        e.stamp = stamp;
    }
    m_changed.notify_all();
}

bool CEarlyDigest::Step(int i, std::vector<unsigned char>& buffer) {
    Entry& e = m_entries[i];
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_stop || e.state != State::Following) return false;
        generation = e.generation;
    }
    if (e.ownGeneration != generation) {  // forgotten: start over
        CloseEntry(e);
        e.ownGeneration = generation;
        Publish(e, generation, State::Following, std::string(), DiskStamp{});
    }
    const int64_t size = e.file.size;
    const int64_t prefix = m_prefix(i);
    if (prefix < 0) return false;
    const int64_t limit = std::min(prefix, size);
    if (e.fd >= 0 && limit < e.position) {
        // Data already hashed is no longer reported as verified.
        CloseEntry(e);
        Publish(e, generation, State::Following, std::string(), DiskStamp{});
    }
    if (e.fd < 0) {
        if (limit <= 0 && size > 0) return false;  // nothing to read yet
        if (!OpenEntry(e)) return false;
    }
    if (e.position < limit) {
        size_t want = static_cast<size_t>(
            std::min<int64_t>(limit - e.position, static_cast<int64_t>(buffer.size())));
        ssize_t got = ::pread(e.fd, buffer.data(), want, e.position);
        if (got < 0 && errno == EINTR) return true;
        if (got <= 0) {  // shorter than reported: look again later
            CloseEntry(e);
            Publish(e, generation, State::Following, std::string(), DiskStamp{});
            return false;
        }
        EVP_DigestUpdate(Context(e.context), buffer.data(), static_cast<size_t>(got));
        e.position += got;
        Publish(e, generation, State::Following, std::string(), DiskStamp{});
        return true;
    }
    if (e.position < size || prefix < size) return false;  // waiting for more

    // Every byte is hashed and the task is complete: the digest holds for the
    // file at its final name, if that is the file read.
    struct stat mine {};
    if (::fstat(e.fd, &mine) != 0) {
        CloseEntry(e);
        return false;
    }
    struct stat atFinal {};
    if (::stat(e.file.finalPath.c_str(), &atFinal) == 0 && atFinal.st_dev == mine.st_dev &&
        atFinal.st_ino == mine.st_ino) {
        DiskStamp stamp;
        FromStat(mine, &stamp);
        if (mine.st_size != size) {
            CloseEntry(e);
            Publish(e, generation, State::Failed, std::string(), DiskStamp{});
            return true;
        }
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(Context(e.context), md, &length);
        const std::string hex = HexDigest(md, length);
        Publish(e, generation, State::Done, hex, stamp);
        CloseEntry(e);
        return true;
    }
    struct stat temp {};
    if (mine.st_nlink > 0 && ::stat(e.file.tempPath.c_str(), &temp) == 0 &&
        temp.st_dev == mine.st_dev && temp.st_ino == mine.st_ino) {
        return false;  // not renamed yet
    }
    // The file read is not the file at either name any more.
    CloseEntry(e);
    Publish(e, generation, State::Following, std::string(), DiskStamp{});
    return false;
}

}  // namespace lfapp
