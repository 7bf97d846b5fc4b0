// Helper program of bench_lifecycle_tests: starts a bench with a card, prints
// "pcscd PID", "serve PID" and "dir PATH", then waits to be killed.
#include <bench/bench.h>

#include <unistd.h>

#include <cstdio>

int main() {
    bench::BenchConfig config;
    config.vpcd = false;
    config.readers = {{"Holder Plain", bench::ReaderSpec::Kind::PLAIN}};
    bench::Bench bench(config);
    std::string image = bench.personalise("holder.img");
    bench.insert("Holder Plain", image);
    std::printf("pcscd %d\nserve %d\ndir %s\n", static_cast<int>(bench.pcscdPid()),
                static_cast<int>(bench.cardPid("Holder Plain")), bench.directory().c_str());
    std::fflush(stdout);
    for (;;) ::pause();
}
