// Simulated-link benchmark of the UDP streams: two endpoints on an
// in-process link with a fake clock (no sockets, no kernel), one stream from
// A to B. Reports, per loss rate, the median over seeds of the throughput in
// SIMULATED time (what the protocol's timers allow on that link) and the
// real CPU time the endpoints and the link spend per MiB. The NAT-lab run
// over real sockets is a separate benchmark.
//
//   udp_sim_bench [MiB per run (8)] [seeds (5)] [one-way delay ms (10)]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "tests/net/UdpStreamSimLink.h"

using namespace lf;
using namespace lf::sim;

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Run {
    bool ok = false;
    double simulatedSeconds = 0;
    double cpuSeconds = 0;
    uint32_t retransmissions = 0;
    uint32_t repairs = 0;
};

Run One(size_t bytes, uint64_t seed, int loss, uint64_t delayMs) {
    Impairment imp;
    imp.lossPct = loss;
    imp.dupPct = 1;
    imp.reorderPct = 1;
    imp.delayMs = delayMs;
    Pair p(seed, imp);
    p.link.keepLog = false;
    Run run;
    if (!p.Connect(120000)) return run;
    std::vector<uint8_t> data(bytes);
    std::mt19937 rng(static_cast<uint32_t>(seed));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> buf(65536);
    size_t sent = 0, got = 0;
    bool exact = true;
    p.link.onStep = [&] {
        while (sent < data.size()) {
            long n = p.A().UdpSend(p.client, data.data() + sent, data.size() - sent);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        long n;
        while ((n = p.B().UdpReceive(p.server, buf.data(), buf.size())) > 0) {
            exact = exact && std::equal(buf.begin(), buf.begin() + n, data.begin() + got);
            got += static_cast<size_t>(n);
        }
    };
    uint64_t t0 = p.link.now;
    double c0 = CpuSeconds();
    bool done = p.link.RunFor(24ull * 3600 * 1000, [&] { return got >= data.size(); });
    run.cpuSeconds = CpuSeconds() - c0;
    run.simulatedSeconds = static_cast<double>(p.link.now - t0) / 1000.0;
    run.ok = done && exact && p.A().Info(p.client).state == kUdpEstablished;
    run.retransmissions = p.A().Info(p.client).retransmissions;
    run.repairs = p.A().Info(p.client).repairs;
    if (std::getenv("UDP_SIM_VERBOSE"))
        std::printf("  seed %llu loss %d: %.1f s, %u retransmissions (%u early repairs)\n",
                    static_cast<unsigned long long>(seed), loss, run.simulatedSeconds,
                    run.retransmissions, run.repairs);
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
    int seeds = argc > 2 ? std::atoi(argv[2]) : 5;
    uint64_t delay = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10;
    std::printf(
        "SIMULATION (in-process link, fake clock): %zu MiB per run, %d seeds, "
        "one-way delay %llu ms, 1 %% duplication, 1 %% reordering\n",
        mib, seeds, static_cast<unsigned long long>(delay));
    std::printf("%6s %22s %18s %8s\n", "loss", "simulated KiB/s (med)", "CPU ms/MiB (med)",
                "exact");
    int failures = 0;
    for (int loss : {0, 1, 5, 10}) {
        std::vector<double> rate, cpu;
        int ok = 0;
        for (int s = 1; s <= seeds; ++s) {
            Run r = One(mib << 20, static_cast<uint64_t>(s) * 104729 + loss, loss, delay);
            ok += r.ok ? 1 : 0;
            rate.push_back(static_cast<double>(mib) * 1024.0 / r.simulatedSeconds);
            cpu.push_back(r.cpuSeconds * 1000.0 / static_cast<double>(mib));
        }
        failures += seeds - ok;
        std::printf("%5d%% %22.1f %18.2f %5d/%d\n", loss, Median(rate), Median(cpu), ok, seeds);
    }
    return failures == 0 ? 0 : 1;
}
