#include "app/ui/CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace lfui {

namespace {

std::atomic<bool> g_installed{false};
std::atomic<bool> g_writing{false};
char g_altStack[64 * 1024];

// Small formatting helpers that stay within async-signal-safe calls.
void Append(char* buffer, size_t size, size_t* used, const char* text) {
    while (*text != '\0' && *used + 1 < size) buffer[(*used)++] = *text++;
    buffer[*used] = '\0';
}

void AppendHex(char* buffer, size_t size, size_t* used, uintptr_t value) {
    char digits[2 + sizeof(uintptr_t) * 2 + 1];
    digits[0] = '0';
    digits[1] = 'x';
    for (size_t i = 0; i < sizeof(uintptr_t) * 2; ++i) {
        const int nibble = static_cast<int>((value >> ((sizeof(uintptr_t) * 2 - 1 - i) * 4)) & 0xf);
        digits[2 + i] = static_cast<char>(nibble < 10 ? '0' + nibble : 'a' + nibble - 10);
    }
    digits[sizeof digits - 1] = '\0';
    Append(buffer, size, used, digits);
}

void AppendNumber(char* buffer, size_t size, size_t* used, long value) {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long v =
        negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < 22);
    if (negative) digits[n++] = '-';
    char out[24];
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    out[n] = '\0';
    Append(buffer, size, used, out);
}

int OpenReport() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    const int ms = static_cast<int>(now.tv_nsec / 1000000);
    const int random = static_cast<int>((now.tv_nsec / 1000 + getpid()) % 100);
    const std::string name = CrashDumpName(local, ms, random);
    return open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void WriteReport(const char* reason, int signal, const void* address) {
    if (g_writing.exchange(true)) return;
    const int fd = OpenReport();
    if (fd < 0) return;  // nothing is written when the file cannot be made
    char text[512];
    size_t used = 0;
    text[0] = '\0';
    Append(text, sizeof text, &used, "Lanternfish crash report\nreason: ");
    Append(text, sizeof text, &used, reason);
    Append(text, sizeof text, &used, "\nsignal: ");
    AppendNumber(text, sizeof text, &used, signal);
    Append(text, sizeof text, &used, "\naddress: ");
    AppendHex(text, sizeof text, &used, reinterpret_cast<uintptr_t>(address));
    Append(text, sizeof text, &used, "\npid: ");
    AppendNumber(text, sizeof text, &used, getpid());
    Append(text, sizeof text, &used, "\nbacktrace:\n");
    ssize_t ignored = write(fd, text, used);
    (void)ignored;
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, fd);
    close(fd);
}

void OnFatalSignal(int signal, siginfo_t* info, void*) {
    WriteReport(strsignal(signal), signal, info != nullptr ? info->si_addr : nullptr);
    // SA_RESETHAND restored the default action: end as the signal would.
    raise(signal);
}

void OnTerminate() {
    const char* reason = "uncaught exception";
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
        }
    }
    WriteReport(reason, SIGABRT, nullptr);
    signal(SIGABRT, SIG_DFL);
    std::abort();
}

}  // namespace

std::string CrashDumpName(const std::tm& local, int milliseconds, int random) {
    char name[64];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, milliseconds, random);
    return name;
}

void InstallCrashHandler() {
    if (g_installed.exchange(true)) return;
    // Make backtrace() load its library now, not inside the handler.
    void* warm[1];
    backtrace(warm, 1);
    stack_t stack{};
    stack.ss_sp = g_altStack;
    stack.ss_size = sizeof g_altStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &action, nullptr);
    std::set_terminate(OnTerminate);
}

}  // namespace lfui
