#include <atomic>
#include <utility>

#include "amw/token.h"
#include "logger.h"
#include "platform.h"
#include "vxexception.h"

namespace amw {

namespace {

std::atomic<platform::Mutex*>& factoryMutexSlot() {
    static std::atomic<platform::Mutex*> slot{new platform::Mutex};
    return slot;
}

// A thread of the parent may have held the lock at a fork: the child gets a
// fresh one (the factory itself is set once, at initialisation).
void freshFactoryMutexInChild() { factoryMutexSlot().store(new platform::Mutex); }

// Never destroyed: tokens may be made from exit handlers.
platform::Mutex& factoryMutex() {
    static const bool registered = [] {
        platform::runInEveryForkedChild(&freshFactoryMutexInChild);
        return true;
    }();
    (void)registered;
    return *factoryMutexSlot().load();
}

Token::CardTokenFactory& installedFactory() {
    static Token::CardTokenFactory factory;
    return factory;
}

Token::CardTokenFactory currentFactory() {
    platform::MutexLock lock(factoryMutex());
    return installedFactory();
}

}  // namespace

void Token::setCardTokenFactory(CardTokenFactory factory) {
    platform::MutexLock lock(factoryMutex());
    installedFactory() = std::move(factory);
}

bool Token::hasCardTokenFactory() {
    platform::MutexLock lock(factoryMutex());
    return static_cast<bool>(installedFactory());
}

std::unique_ptr<Token> Token::createToken(ctl::CardConnection& cardConnection, std::uint32_t type,
                                          bool selectApplet) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::Token::createToken");
    Logger& logger = Logger::instance();
    logger.log(LOG_FACILITY_AMW, L"%ls = %u", L"type", type);
    logger.log(LOG_FACILITY_AMW, L"%ls = %ls", L"selectApplet", selectApplet ? L"true" : L"false");
    if (type != 0) {
        throw InvalidArgumentException::invalid("type", "amw::Token::createToken", __FILE__,
                                                __LINE__);
    }
    CardTokenFactory factory = currentFactory();
    if (!factory) {
        throw InternalErrorException("amw::Token::createToken no card token factory installed");
    }
    std::unique_ptr<Token> token = factory(cardConnection);
    if (!token) {
        throw InternalErrorException("amw::Token::createToken the card token factory made no token");
    }
    if (selectApplet) {
        token->selectApplet();
    }
    return token;
}

std::unique_ptr<Token> Token::createToken(ctl::CardConnection& cardConnection) {
    // The unique_ptr destroys the token when the selection throws.
    return createToken(cardConnection, 0, true);
}

}  // namespace amw
