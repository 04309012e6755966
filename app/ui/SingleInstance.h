// One running copy per release. The first copy holds an exclusive lock on
// "<dir>/<release id>.lock" for its life and listens on the UNIX socket
// "<dir>/Lanternfish_Only_Mapping_<release id>". A later copy sends the
// message "11025" with its working directory over that socket and waits up
// to 1000 ms for the one-byte answer ("Lanternfish_ReplyEvt"): answered, it
// ends; no answer, the running copy is taken as hung, is terminated, and the
// later copy takes its place. Every name carries the release id, so two
// releases run side by side. <dir> is $XDG_RUNTIME_DIR, else /tmp.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace lfui {

inline constexpr char kBringToFrontMessage[] = "11025";

class CSingleInstance {
public:
    enum class Outcome {
        First,     // no other copy: this one runs and answers later copies
        Answered,  // a running copy came forward: this copy ends
        Replaced,  // the running copy did not answer and was terminated
        Beside,    // a copy runs but cannot be reached: start beside it
    };

    explicit CSingleInstance(std::string releaseId, std::string folder = DefaultFolder());
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    static std::string DefaultFolder();

    // Runs the check. answerWaitMs is the wait for the running copy's answer.
    Outcome Check(int answerWaitMs = 1000);

    // The listening socket of the running copy (-1 when not listening); the
    // window thread watches it and calls Answer when it is readable.
    int ListenFd() const { return m_listen; }
    // Takes one waiting message (waiting at most 5000 ms for its text). True
    // when it asked the running copy to come forward; the answer has then
    // been sent. cwd receives the sender's working directory.
    bool Answer(std::string* cwd = nullptr);

    // The pid that was terminated by a Replaced outcome.
    pid_t ReplacedPid() const { return m_replaced; }
    const std::string& LockPath() const { return m_lockPath; }
    const std::string& SocketPath() const { return m_socketPath; }

private:
    bool TryLock();
    bool Listen();
    Outcome AskRunningCopy(int answerWaitMs);

    std::string m_releaseId;
    std::string m_lockPath;
    std::string m_socketPath;
    int m_lock = -1;
    int m_listen = -1;
    pid_t m_replaced = 0;
};

// Reads a message received on the channel: "11025", optionally followed by
// '\n' and the sender's working directory, up to the first zero byte. True
// for a bring-to-front message; cwd receives the directory ("" when none).
bool ParseInstanceMessage(std::string_view bytes, std::string* cwd);

// True when pid runs the same program file as this process.
bool IsSameProgram(pid_t pid);

}  // namespace lfui
