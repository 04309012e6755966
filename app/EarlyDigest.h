// CEarlyDigest: the MD5 of every release file, computed on threads of its own
// (one file at a time each) while the download runs. For each file it follows the verified
// contiguous prefix that the file's task reports (the bytes just written, still in the page cache)
// and finishes once the task is complete and the file carries its final name. The digest is bound
// to the file's identity, size, write time and change time as they stood when the last byte was
// hashed; the verification uses it only while all of them are unchanged, so any write, truncation,
// replacement or restored time afterwards makes it hash the file itself. Nothing is kept across a
// run of the program.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lfapp {

// What a file looks like on disk; two stamps are equal only when nothing
// about the file changed in between.
struct DiskStamp {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = -1;
    timespec modified{};
    timespec changed{};

    bool operator==(const DiskStamp& other) const;
};
// A digest as lower-case hex, two digits a byte.
std::string HexDigest(const unsigned char* digest, unsigned int length);

// The stamp of an open file or of a path; false when it cannot be read.
bool StampOf(int fd, DiskStamp* stamp);
bool StampOf(const std::string& path, DiskStamp* stamp);

class CEarlyDigest {
public:
    static constexpr int kMaxFiles = 8;

    struct File {
        std::string finalPath;  // the file's name once complete
        std::string tempPath;   // its name while downloading
        int64_t size = 0;       // expected size
    };
    // Bytes of file i from its start that are on disk and verified; the
    // file's size once its task is complete; negative when unknown. Called on
    // the digest thread.
    using PrefixFunction = std::function<int64_t(int i)>;

    CEarlyDigest(std::vector<File> files, PrefixFunction prefix);
    ~CEarlyDigest();
    CEarlyDigest(const CEarlyDigest&) = delete;
    CEarlyDigest& operator=(const CEarlyDigest&) = delete;

    // Starts the thread (once; later calls do nothing).
    void Start();
    // Ends the thread and waits for it.
    void Stop();
    // Wakes the thread (a task made progress or completed).
    void Notify();

    // The digest of file i (lower-case hex) when it was computed and the file
    // at its final path is exactly as it was then. While the thread is still
    // hashing file i this waits for it, reporting the bytes hashed so far
    // through progress; it gives up (false) when the thread makes no progress
    // on the file for stallMs or stop becomes true.
    bool Lookup(int i, std::string* md5, const std::function<void(int64_t done)>& progress,
                const std::atomic<bool>& stop, int stallMs = 2000);
    // Drops what is known of file i and follows it again from its start (the
    // file is fetched again).
    void Forget(int i);

private:
    enum class State { Following, Done, Failed };
    struct Entry {
        File file;
        // Shared, under m_mutex.
        State state = State::Following;
        int64_t hashed = 0;       // bytes hashed so far
        std::string md5;          // when Done
        DiskStamp stamp;          // when Done
        uint64_t generation = 0;  // bumped by Forget
        bool busy = false;        // a thread is stepping it
        // The digest thread's own.
        int fd = -1;
        void* context = nullptr;  // EVP_MD_CTX
        int64_t position = 0;
        uint64_t ownGeneration = 0;
    };

    void ThreadBody(int worker);
    // One step on entry i: hashes one block when one is available, or
    // finishes the file. True when it did some work.
    bool Step(int i, std::vector<unsigned char>& buffer);
    bool OpenEntry(Entry& e);
    static void CloseEntry(Entry& e);
    // Publishes the thread's progress on e unless a Forget came in between.
    void Publish(Entry& e, uint64_t generation, State state, const std::string& md5,
                 const DiskStamp& stamp);

    PrefixFunction m_prefix;
    std::mutex m_mutex;
    std::condition_variable m_wake;     // the thread waits on it
    std::condition_variable m_changed;  // Lookup waits on it
    std::vector<Entry> m_entries;
    int m_priority = -1;  // the file a Lookup waits for
    bool m_stop = false;
    bool m_notified = false;
    std::vector<std::thread> m_threads;
};

}  // namespace lfapp
