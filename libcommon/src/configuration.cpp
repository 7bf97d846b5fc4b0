#include "configuration.h"

#include <atomic>

#include "fileutils.h"
#include "platform.h"
#include "properties.h"

namespace {

std::atomic<platform::Mutex*>& instanceMutexSlot() {
    static std::atomic<platform::Mutex*> slot{new platform::Mutex};
    return slot;
}

// A fork while another thread reads the file leaves the lock held in the
// child: it gets a fresh one.
void freshMutexInForkedChild() { instanceMutexSlot().store(new platform::Mutex); }

platform::Mutex& instanceMutex() {
    // Never destroyed: applications log (C_Finalize) from their own static
    // destructors, which may run after ours.
    static const bool registered = [] {
        platform::runInEveryForkedChild(&freshMutexInForkedChild);
        return true;
    }();
    (void)registered;
    return *instanceMutexSlot().load();
}

std::atomic<const Configuration*> theInstance{nullptr};

}  // namespace

const Configuration& Configuration::instance() {
    const Configuration* existing = theInstance.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return *existing;
    }
    platform::MutexLock lock(instanceMutex());
    existing = theInstance.load(std::memory_order_relaxed);
    if (existing == nullptr) {
        auto* built = new Configuration(platform::configurationFilePath());
        if (platform::isPrivilegedProcess()) built->restrictForPrivilegedProcess();
        existing = built;
        theInstance.store(existing, std::memory_order_release);
    }
    return *existing;
}

Configuration::Configuration(const std::string& filePath) {
    applyDefaults();
    Properties properties;
    if (properties.load(filePath)) {
        apply(properties);
    }
}

// A set-user-ID host (sudo, su with a smart-card login module) runs for a
// user who could plant links in his own cache or log directory and have the
// privileged process write through them: such a process writes no file.
void Configuration::restrictForPrivilegedProcess() {
    logEnabled = false;
    logPath.clear();
    cacheDirectory.clear();
}

void Configuration::applyDefaults() {
    useEnglish = !platform::userInterfaceLanguageIsCzech();
    std::string home;
    if (getHomeDirectory(&home) && !home.empty()) {
        cacheDirectory = withTrailingSeparator(joinPath(home, ".amwcache"));
    } else {
        cacheDirectory.clear();
    }
}

void Configuration::apply(const Properties& properties) {
    long number = 0;
    std::string text;
    if (properties.getInt("loglevel", number)) {
        logEnabled = number != 0;
    }
    if (properties.getString("logpath", text)) {
        logPath = withTrailingSeparator(text);
    }
    if (properties.getString("locale", text)) {
        if (text == "cs") {
            useEnglish = false;
        } else if (text == "en") {
            useEnglish = true;
        }
    }
    if (properties.getInt("disablepinpad", number)) {
        disablePinPad = number != 0;
    }
    if (properties.getInt("disablepinpaddlg", number)) {
        disablePinPadDialog = number != 0;
    }
    if (properties.getInt("pkcs11.slots", number) && number > 0) {
        // Saturates, so no value (long is 64-bit on Linux) wraps to a small count.
        constexpr long maxSlots = static_cast<long>(MAX_SLOT_COUNT);
        slotCount = static_cast<unsigned>(number > maxSlots ? maxSlots : number);
    }
    if (properties.getString("cache", text)) {
        cacheDirectory = withTrailingSeparator(text);
    } else if (properties.isGivenEmpty("cache")) {
        // "cache =" is how a user keeps card contents off the disk.
        cacheDirectory.clear();
    }
    if (properties.getInt("cardhold", number) && number >= 0) {
        constexpr long maxHold = static_cast<long>(MAX_CARD_HOLD_MS);
        cardHoldMs = static_cast<unsigned>(number > maxHold ? maxHold : number);
    }
}
