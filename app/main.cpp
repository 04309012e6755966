#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Headless.h"
#include "app/ReleaseResources.h"
#include "app/Seeder.h"
#include "engine/core/Version.h"

#ifdef LF_HAVE_DESKTOP
#include "app/ui/DesktopMain.h"
#endif

namespace {

#ifdef LF_WINDOW_PROGRAM
// The terminal front end runs without the desktop libraries (less to load,
// less memory); the window is a program of its own next to this one and
// takes this process's place with the same arguments. When it cannot be
// started the terminal front end runs.
void StartWindowProgram(char** argv) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = 0;
    std::string path(self);
    path = path.substr(0, path.rfind('/') + 1) + LF_WINDOW_PROGRAM;
    ::execv(path.c_str(), argv);
    std::fprintf(stderr, "lanternfish: cannot start %s (%s); the terminal front end runs\n",
                 path.c_str(), std::strerror(errno));
}
#endif

void PrintHelp() {
    std::printf(
        "Usage: lanternfish [--headless] [options]\n"
        "\n"
        "Downloads the game client release, verifies every file and starts its installer.\n"
        "Without --headless the desktop window opens.\n"
        "\n"
        "  --headless            run in the terminal instead of the window\n"
        "  --release DIR         use the release folder DIR (made by lf-make-release)\n"
        "                        instead of the release built into the program\n"
        "  --save DIR            save folder for a new download (default: the remembered\n"
        "                        folder, else <download folder>/qarrd160107)\n"
        "  --limit KBPS          download speed limit in KB/s over all files (0: none)\n"
        "  --shutdown            shut the computer down when the download finishes\n"
        "  --no-port-mapping     do not map the listening port on the router (UPnP)\n"
        "  --log-all             write every log channel to the log files in the data\n"
        "                        folder (normally only errors go there)\n"
        "\n"
        "Terminal only (the window asks and has its own buttons):\n"
        "  --verify              verify the MD5 of every file before installing (default)\n"
        "  --no-verify           install without verifying\n"
        "  --install             start the installer when done (default)\n"
        "  --no-install          stop after the download (and the verification)\n"
        "  --quiet               print only status changes and messages\n"
        "\n"
        "Seeding a finished release (no window, no download):\n"
        "  --seed DIR            check the eight files in DIR against the release's sizes\n"
        "                        and MD5 digests, then serve them to BitTorrent peers\n"
        "                        until Ctrl-C (or the engine's seed time, 12 hours)\n"
        "  --listen PORT         the listening port for peers (with --seed)\n"
        "\n"
        "  --version             print the version\n"
        "  --help                print this help\n"
        "\n"
        "Ctrl-C pauses the download and quits; the next start resumes it.\n"
        "Exit status: 0 done, 1 failed, 2 release retired, 130 interrupted.\n"
        "\n"
        "Environment: LANTERNFISH_DATA_HOME (data folder root), LANTERNFISH_PROXY,\n"
        "LANTERNFISH_OPEN_COMMAND (opens the installer), LANTERNFISH_SHUTDOWN_COMMAND,\n"
        "LANTERNFISH_RESOURCE_LIST_URL, LANTERNFISH_PORT_MAPPING=0, LANTERNFISH_DEBUG,\n"
        "LANTERNFISH_LOG_ALL=1 (as --log-all), LANTERNFISH_START_TIMEOUT_SECONDS (default 45:\n"
        "a task without data from any source gives up after it), LANTERNFISH_RENDEZVOUS_HOST\n"
        "and LANTERNFISH_RENDEZVOUS_PORT (the rendezvous service of the UDP server).\n");
}

bool ParseNumber(const char* text, int32_t* value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    lfapp::HeadlessOptions options;
    bool headless = false;
#ifdef LF_WINDOW_PROGRAM
    bool window = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--headless" || arg == "--help" || arg == "-h" || arg == "--version" ||
            arg == "--seed")
            window = false;
    }
    if (window) StartWindowProgram(argv);
#endif
    std::string release;
    lfapp::SeedOptions seed;
    bool seeding = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lanternfish: %s needs a value\n", name);
                std::exit(64);
            }
            return argv[++i];
        };
        if (arg == "--version") {
            std::printf("Lanternfish %s\n", lf::EngineVersion());
            return 0;
        } else if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--release") {
            release = value("--release");
        } else if (arg == "--save") {
            options.saveFolder = lfapp::AbsolutePath(value("--save"));
        } else if (arg == "--limit") {
            if (!ParseNumber(value("--limit"), &options.speedLimitKiB)) {
                std::fprintf(stderr, "lanternfish: --limit takes KB/s (0 for none)\n");
                return 64;
            }
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--no-verify") {
            options.verify = false;
        } else if (arg == "--install") {
            options.install = true;
        } else if (arg == "--no-install") {
            options.install = false;
        } else if (arg == "--shutdown") {
            options.shutdown = true;
        } else if (arg == "--no-port-mapping") {
            options.mapPort = false;
        } else if (arg == "--log-all") {
            setenv("LANTERNFISH_LOG_ALL", "1", 1);
        } else if (arg == "--quiet") {
            options.quiet = true;
            seed.quiet = true;
        } else if (arg == "--seed") {
            seeding = true;
            seed.folder = value("--seed");
        } else if (arg == "--listen") {
            if (!ParseNumber(value("--listen"), &seed.listenPort) || seed.listenPort == 0 ||
                seed.listenPort > 65535) {
                std::fprintf(stderr, "lanternfish: --listen takes a port (1-65535)\n");
                return 64;
            }
        } else {
#ifdef LF_HAVE_DESKTOP
            if (!headless) continue;  // Qt takes its own options
#endif
            std::fprintf(stderr, "lanternfish: unknown option %s (see --help)\n", arg.c_str());
            return 64;
        }
    }
    if (!release.empty()) {
        std::string error;
        if (!lfapp::UseReleaseFolder(release, &error)) {
            std::fprintf(stderr, "lanternfish: cannot load the release %s: %s\n", release.c_str(),
                         error.c_str());
            return 1;
        }
    }
    if (seeding) return lfapp::RunSeeder(seed);
    // The window builds its controller itself; the choice reaches it here.
    if (!options.mapPort) setenv("LANTERNFISH_PORT_MAPPING", "0", 1);
#ifdef LF_HAVE_DESKTOP
    if (!headless) return lfui::RunDesktop(argc, argv, options);
#else
    (void)headless;  // without the window the terminal front end runs
#endif
    return lfapp::RunHeadless(options);
}
