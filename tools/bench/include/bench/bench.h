// The PC/SC test bench: a private pcscd with virtual readers, and simulated
// Ferrix cards (`cardsim serve` processes) inserted into them.
//
// Isolation: pcscd's socket path is fixed at build time (/run/pcscd), so each
// bench starts its pcscd in a mount namespace of its own with a private
// directory bound over /run/pcscd, and points this process's PC/SC clients
// at DIR/pcscd.comm through PCSCLITE_CSOCK_NAME. pcsc-lite reads that variable
// once per process, so one process uses one bench directory for its whole
// life (benches created one after the other in a process share it).
// Where unshare is not permitted, the bench falls back to the default socket
// and serialises all such benches on the machine with a lock file.
//
// Everything started here is stopped by PID on every path: destructor,
// SIGINT/SIGTERM/SIGHUP, and the death of this process (see ChildProcess).
#pragma once

#include "bench/cardcontrol.h"
#include "bench/childprocess.h"
#include "bench/pcscclient.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct ReaderSpec {
    enum class Kind { PLAIN, PINPAD };
    std::string name;  // FRIENDLYNAME
    Kind kind = Kind::PLAIN;
};

struct BenchConfig {
    // One vpcd entry: two readers "<vpcdName> 00 00" and "<vpcdName> 00 01".
    bool vpcd = true;
    std::string vpcdName = "Zentrik Virtual";
    // Readers of our own driver (libifdzentrik.so), in one file so that their
    // names stay stable.
    std::vector<ReaderSpec> readers = {{"Zentrik PinPad", ReaderSpec::Kind::PINPAD}};
};

struct Reader {
    std::string name;    // as PC/SC lists it
    std::uint16_t port;  // where its card connects
    bool pinPad;
};

class Bench {
public:
    explicit Bench(BenchConfig config = BenchConfig{});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    static std::string cardsimPath();
    static std::string driverPath();
    // False when the cardsim program or the driver was not built.
    static bool toolsAvailable();

    const std::string& directory() const { return dir_; }
    bool isolated() const { return isolated_; }
    const std::vector<Reader>& readers() const { return readers_; }
    // The reader whose PC/SC name is `name` or starts with it; throws when
    // none or several match.
    const Reader& reader(const std::string& name) const;

    // `cardsim init DIR/<fileName> args...`; returns the image path.
    std::string personalise(const std::string& fileName, const std::vector<std::string>& initArgs = {});

    // Starts `cardsim serve` for the image on the reader and waits until
    // pcscd reports the card. Returns the card's control client.
    CardControl insert(const std::string& reader, const std::string& imagePath);
    // Stops the reader's serve process and waits until pcscd reports the
    // reader empty, so that a following insert is always seen as a new card.
    void remove(const std::string& reader);
    CardControl control(const std::string& reader) const;
    // A second PC/SC client connects and disconnects with SCARD_RESET_CARD.
    void resetCard(const std::string& reader);
    bool waitForCard(const std::string& reader, bool present,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Stops pcscd and starts it again with another reader set; inserted cards
    // reconnect by themselves to readers that still exist.
    void restart(BenchConfig config);
    void stopPcscd();
    void startPcscd();

    // PIDs of what the bench started (-1 when not running).
    pid_t pcscdPid() const { return pcscd_ ? pcscd_->pid() : -1; }
    pid_t cardPid(const std::string& reader) const;

    // The environment a child PC/SC client (pkcs11-tool, python) needs.
    std::string socketPath() const;

private:
    void assignPorts();
    void writeConfiguration() const;
    void waitForReaders();
    std::string logPath(const std::string& name) const;

    BenchConfig config_;
    std::string dir_;
    bool isolated_ = false;
    int lockFd_ = -1;
    std::map<std::string, std::uint16_t> ports_;  // FRIENDLYNAME (or vpcd slot) -> port
    std::vector<Reader> readers_;
    std::unique_ptr<ChildProcess> pcscd_;
    struct Card {
        std::unique_ptr<ChildProcess> process;
        std::string controlPath;
    };
    std::map<std::string, Card> cards_;  // by PC/SC reader name
};

}  // namespace bench
