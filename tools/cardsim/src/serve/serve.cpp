#include "serve.h"

#include "cardserver.h"
#include "controlserver.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace cardsim {

namespace {

struct ServeOptions {
    std::string image;
    std::string host = "127.0.0.1";
    unsigned long port = 0;
    std::string control;
};

const char* const USAGE = "usage: cardsim serve IMAGE --port PORT [--host ADDRESS] [--control SOCKET]\n";

bool parseOptions(int argc, char** argv, ServeOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            char* end = nullptr;
            o.port = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || o.port == 0 || o.port > 65535) return false;
        } else if (arg == "--host" && hasValue) {
            o.host = argv[++i];
        } else if (arg == "--control" && hasValue) {
            o.control = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && o.image.empty()) {
            o.image = arg;
        } else {
            return false;
        }
    }
    return !o.image.empty() && o.port != 0;
}

// Termination arrives as a signal; the handler only records it and wakes the
// I/O loop, which then takes the card out of the reader and returns.
std::atomic<bool> g_stop{false};
const serve::WakePipe* g_wake = nullptr;

extern "C" void onTerminate(int) {
    g_stop = true;
    if (g_wake) g_wake->notify();
}

void installSignals() {
    struct sigaction sa{};
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int serveCommand(int argc, char** argv) {
    ServeOptions options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::unique_ptr<CardEngine> engine;
    try {
        engine = CardEngine::open(options.image);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cardsim serve: cannot open %s: %s\n", options.image.c_str(), e.what());
        return 1;
    }
    serve::WakePipe wake;
    if (wake.readFd() < 0) {
        std::fprintf(stderr, "cardsim serve: cannot create a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    g_wake = &wake;
    installSignals();

    serve::ControlState state;
    serve::ControlServer control(state, wake);
    if (!options.control.empty() && !control.start(options.control)) {
        std::fprintf(stderr, "cardsim serve: cannot listen on %s: %s\n", options.control.c_str(),
                     std::strerror(errno));
        return 1;
    }
    serve::CardServer server(*engine, state, wake, options.host, static_cast<std::uint16_t>(options.port));
    server.run(g_stop);
    control.stop();
    g_wake = nullptr;
    return 0;
}

}  // namespace cardsim
