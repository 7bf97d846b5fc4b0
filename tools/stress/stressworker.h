// One stress process: loads the module itself, logs in once, and runs its
// threads, each with a session of its own, over the shared card.
#pragma once

#include <cstdint>
#include <string>

namespace stress {

struct Figures {
    std::uint64_t operations = 0;
    std::uint64_t errors = 0;
    std::uint64_t staleReads = 0;
    std::uint64_t lostObjects = 0;
};

struct WorkerOptions {
    int process = 0;
    int threads = 2;
    int rounds = 5;
    std::string pin;
    std::string keyLabel;
};

// Runs the rounds and returns what was counted; never throws.
Figures runWorker(const WorkerOptions& options);

// Loads the module, logs in and generates the RSA key pair every process
// signs with. Returns false (with a message on stderr) when that fails.
bool prepareKey(const std::string& pin, const std::string& keyLabel);

}  // namespace stress
