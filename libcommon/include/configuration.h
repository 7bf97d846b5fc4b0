// The module's settings, read once per process from the configuration file
// (see platform::configurationFilePath) and immutable afterwards. Without the
// file the defaults below apply. A privileged process (set-user-ID and the
// like) reads only the system's file and writes neither trace nor cache.
//
// Keys (case-sensitive; integer values are read like strtol):
//   loglevel          non-zero turns the whole trace log on
//   logpath           directory of the trace file (a trailing separator is added)
//   locale            "cs" or "en"; anything else keeps the default
//   disablepinpad     non-zero: pin-pad readers are used as plain readers
//   disablepinpaddlg  non-zero: no pin-pad prompt dialog
//   pkcs11.slots      minimum number of slots when greater than 0 (at most MAX_SLOT_COUNT)
//   cache             directory of the per-card cache files (a trailing separator is added)
//   cardhold          milliseconds a slot's card stays held after a call (0: one
//                     card transaction per call); negative values keep the default
#pragma once

#include <string>

class Properties;

class Configuration {
public:
    static constexpr unsigned DEFAULT_SLOT_COUNT = 6;
    // Larger pkcs11.slots values are read as this: every slot is built at
    // C_Initialize, and a mistyped count must not exhaust the application's
    // memory. PC/SC services attach far fewer readers.
    static constexpr unsigned MAX_SLOT_COUNT = 1024;
    // A burst of calls closer together than this shares one card transaction.
    static constexpr unsigned DEFAULT_CARD_HOLD_MS = 50;
    // Longer idle holds are read as this: another application waits for the
    // card while it is held.
    static constexpr unsigned MAX_CARD_HOLD_MS = 1000;

    // Built under its own lock on first use, never destroyed.
    static const Configuration& instance();

    // Builds a configuration from the given file, for the singleton and for
    // tests; a file that cannot be read leaves the defaults.
    explicit Configuration(const std::string& filePath);

    std::string logPath;             // empty: the trace file goes to the current directory
    bool logEnabled = false;
    bool useEnglish = true;          // default: true unless the user's language is Czech
    bool disablePinPad = false;
    bool disablePinPadDialog = false;
    unsigned slotCount = DEFAULT_SLOT_COUNT;
    std::string cacheDirectory;      // default: <home>/.amwcache/; empty: no cache files
    unsigned cardHoldMs = DEFAULT_CARD_HOLD_MS;

    // Turns the trace log and the cache files off, whatever the file says;
    // the singleton does it in a privileged process (see
    // platform::isPrivilegedProcess).
    void restrictForPrivilegedProcess();

private:
    void applyDefaults();
    void apply(const Properties& properties);
};
