// Authentication: PIN or key, session PIN, challenge, PIN change and
// unblock. The secrets are handed to the command functions, which send them
// as sensitive commands; nothing here logs them.
#include "amw/amwtypes.h"
#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "amwferrix/token.h"
#include "conversions.h"
#include "ctl/ctlexception.h"
#include "logger.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

using detail::toAuthenticationResult;
using detail::toCardRole;

namespace {

// The command writes the tries only for the statuses that report them; the
// caller's value stays as it was otherwise. -1 (the card refused without
// counting) arrives as 0xFFFFFFFF.
class TriesOutput {
public:
    explicit TriesOutput(std::uint32_t* target_) : target(target_) {
        value = target != nullptr ? static_cast<std::int32_t>(*target) : 0;
    }
    std::int32_t* get() { return &value; }
    void publish() const {
        if (target != nullptr) {
            *target = static_cast<std::uint32_t>(value);
        }
    }

private:
    std::uint32_t* target;
    std::int32_t value;
};

amw::AuthenticationResult finish(std::uint32_t cardResult, const TriesOutput& tries) {
    tries.publish();
    const amw::AuthenticationResult result = toAuthenticationResult(cardResult);
    trace::logResult(result);
    return result;
}

}  // namespace

amw::AuthenticationResult Token::authenticate(const amw::AuthenticationObject& ao,
                                              const std::uint8_t* data, std::uint32_t size,
                                              std::uint32_t* triesRemaining,
                                              amw::PinPadListener* listener) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::authenticate");
    trace::logAuthenticationObject(L"ao", ao.getRole(), ao.getType());
    const std::uint8_t role = toCardRole(ao.getRole());
    TriesOutput tries(triesRemaining);
    const std::uint32_t result = apdu::authenticate(connection, role, false, ao.getType(), data,
                                                    size, tries.get(), listener);
    return finish(result, tries);
}

amw::AuthenticationResult Token::authenticateSessionPin(std::uint32_t role,
                                                        const std::uint8_t* pinData,
                                                        std::uint32_t size,
                                                        std::uint32_t* attemptsRemaining) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::authenticateSessionPin");
    const std::uint8_t cardRole = toCardRole(role);
    if (size != apdu::SESSION_PIN_SIZE) {
        trace::logNumber(L"size", size);
        trace::logResult(amw::AUTHENTICATION_WRONG_PIN);
        return amw::AUTHENTICATION_WRONG_PIN;
    }
    TriesOutput tries(attemptsRemaining);
    const std::uint32_t result =
        apdu::authenticate(connection, cardRole, true, amw::AuthenticationObject::KEY, pinData,
                           size, tries.get(), nullptr);
    return finish(result, tries);
}

void Token::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    static constexpr char FN[] = "amwferrix::Token::generateSessionPin";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    if (sessionPin == nullptr) {
        throw InvalidArgumentException::nullPointer("sessionPin", FN, __FILE__, __LINE__);
    }
    const std::uint8_t cardRole = toCardRole(role);
    sessionPin->clear();
    apdu::generateSessionPin(connection, cardRole, sessionPin->data);
    sessionPin->length = apdu::SESSION_PIN_SIZE;
}

void Token::getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) {
    static constexpr char FN[] = "amwferrix::Token::getChallenge";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    if (challenge == nullptr) {
        throw InvalidArgumentException::nullPointer("challenge", FN, __FILE__, __LINE__);
    }
    const std::uint8_t cardRole = toCardRole(role);
    *challenge = StaticBuffer<128>();
    apdu::getChallenge(connection, cardRole, challenge->data);
    challenge->length = apdu::CHALLENGE_SIZE;
}

namespace {

amw::RoleStillAuthenticatedException roleStillAuthenticated(std::uint32_t role) {
    return amw::RoleStillAuthenticatedException("role %u may still be authenticated",
                                                static_cast<unsigned>(role));
}

}  // namespace

void Token::deauthenticate(std::uint32_t role) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::deauthenticate");
    try {
        apdu::deauthenticate(connection, toCardRole(role));
    } catch (const VxException&) {
        // A card that refused to drop the role must not stay authenticated
        // for the next application: selecting the applet again drops every
        // role, and session PINs survive it, so other processes stay logged in.
        try {
            selectApplet();
        } catch (const ctl::CtlException&) {
            // The card cannot be reached at all (pulled, reset, a reader
            // fault): the service resets a card that comes back, and a
            // reset requested now would only disturb its return.
        } catch (const VxException&) {
            // The card answered and refused both.
            throw roleStillAuthenticated(role);
        }
        throw;
    }
}

amw::AuthenticationResult Token::unblockPin(const amw::AuthenticationObject& ao,
                                            const std::uint8_t* data, std::uint32_t size,
                                            const amw::AuthenticationObject& targetAo,
                                            const std::uint8_t* targetData,
                                            std::uint32_t targetSize,
                                            std::uint32_t* attemptsRemaining,
                                            amw::PinPadListener* listener) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::unblockPin");
    trace::logAuthenticationObject(L"ao", ao.getRole(), ao.getType());
    trace::logAuthenticationObject(L"targetAo", targetAo.getRole(), targetAo.getType());
    const std::uint8_t role = toCardRole(ao.getRole());
    const std::uint8_t targetRole = toCardRole(targetAo.getRole());
    TriesOutput tries(attemptsRemaining);
    const std::uint32_t result =
        apdu::unblockPin(connection, role, ao.getType(), data, size, targetRole,
                         targetAo.getType(), targetData, targetSize, tries.get(), listener);
    return finish(result, tries);
}

void Token::changePin(const amw::AuthenticationObject& ao, const std::uint8_t* data,
                      std::uint32_t size, amw::PinPadListener* listener) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::changePin");
    trace::logAuthenticationObject(L"ao", ao.getRole(), ao.getType());
    apdu::changePin(connection, static_cast<std::uint8_t>(ao.getRole()),
                    ao.getType() == amw::AuthenticationObject::PIN, data, size, listener);
}

bool Token::willUsePinPad(const amw::AuthenticationObject& ao) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::willUsePinPad");
    const bool pinPad =
        connection.isPinPadAvailable() && ao.getType() == amw::AuthenticationObject::PIN;
    trace::logBool(L"[OUT] willUsePinPad", pinPad);
    return pinPad;
}

}  // namespace amwferrix
