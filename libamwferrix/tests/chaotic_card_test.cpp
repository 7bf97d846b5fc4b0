// The card token against a card that answers at random: status words from
// the set the driver knows and from outside it, response data of the asked
// length or of any other length, object headers with arbitrary chains and
// sizes. Whatever the card says, every operation must end either normally
// or with one of the library's own exceptions (which the Cryptoki frame
// translates); nothing else may escape and nothing may touch memory it does
// not own (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "amw/authenticationobject.h"
#include "amw/freshnessrecord.h"
#include "amwferrix/token.h"
#include "ctl/cardconnection.h"
#include "vxexception.h"

namespace {

class ChaoticCard : public ctl::CardConnection {
public:
    explicit ChaoticCard(std::uint32_t seed) : random(seed) {}

    std::size_t exchanges = 0;

    bool isPinPadAvailable() override { return pinPad; }
    Protocol getProtocol() override { return PROTOCOL_T1; }

    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t) override {
        // A card that keeps talking ends like a card that was pulled out.
        if (++exchanges > MAX_EXCHANGES) {
            throw InternalErrorException("chaotic card: no further answers");
        }
        const std::uint32_t capacity = *responseLength;
        std::uint32_t length = askedLength(command, commandLength);
        if (pick(4) == 0) {
            length = pick(capacity - 2 + 1);
        }
        length = std::min(length, capacity - 2);
        for (std::uint32_t i = 0; i < length; ++i) {
            response[i] = byte();
        }
        shapeHeader(command, response, length);
        *responseLength = length;
        return statusWord();
    }

    std::uint16_t pinPadVerify(std::uint8_t, const std::uint8_t*, std::uint32_t) override {
        ++exchanges;
        return statusWord();
    }
    std::uint16_t pinPadModify(bool, bool, std::uint8_t, std::uint8_t, const std::uint8_t*,
                               std::uint32_t) override {
        ++exchanges;
        return statusWord();
    }

    bool pinPad = false;

private:
    static constexpr std::size_t MAX_EXCHANGES = 400;

    std::uint32_t pick(std::uint32_t bound) {
        return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(pick(256)); }

    // What a well-behaved card would send: Le of a command without data (0
    // meaning 256), nothing for a command with data, except the two RSA
    // commands with their trailing Le.
    static std::uint32_t askedLength(const std::uint8_t* command, std::uint32_t length) {
        if (length <= 5) {
            return length == 5 ? (command[4] == 0 ? 256u : command[4]) : 0u;
        }
        if (command[1] == 0x4A || command[1] == 0x48) {
            const std::uint8_t le = command[length - 1];
            return le == 0 ? 256u : le;
        }
        return command[1] == 0x40 ? 128u : 0u;
    }

    // Headers (80 18) mostly end the chain soon and ask for little metadata,
    // so that the metadata readers, not just the size check, meet garbage.
    void shapeHeader(const std::uint8_t* command, std::uint8_t* response, std::uint32_t length) {
        if (command[1] != 0x18 || length < 5) {
            return;
        }
        if (pick(3) != 0) {
            response[1] = 0x80;
            response[2] = 0x00;
        }
        if (pick(3) != 0) {
            response[3] = 0x00;
            response[4] = static_cast<std::uint8_t>(pick(40));
        }
    }

    std::uint16_t statusWord() {
        static const std::uint16_t known[] = {0x6982, 0x6D00, 0x6F03, 0x6F18, 0x63C2, 0x6983,
                                              0x6985, 0x6F10, 0x6A83, 0x6B00, 0x6C03, 0x6C2F,
                                              0x6C00, 0x6400, 0x6401, 0x6402, 0x6403, 0x6A80};
        const std::uint32_t roll = pick(10);
        if (roll < 7) {
            return 0x9000;
        }
        if (roll < 9) {
            return known[pick(sizeof known / sizeof known[0])];
        }
        return static_cast<std::uint16_t>(pick(0x10000));
    }

    std::mt19937 random;
};

// Runs one operation; the library's own exceptions are an acceptable end,
// anything else is a failure.
void survive(const char* name, std::uint32_t seed, const std::function<void()>& operation) {
    try {
        operation();
    } catch (const VxException&) {
    } catch (const std::exception& e) {
        ADD_FAILURE() << name << " (seed " << seed << ") let a foreign exception escape: "
                      << e.what();
    } catch (...) {
        ADD_FAILURE() << name << " (seed " << seed << ") let an unknown exception escape";
    }
}

template <class List>
void readEveryContent(List& list) {
    for (auto& object : list) {
        object->getContent();
    }
}

constexpr std::uint32_t SEEDS = 2000;

TEST(ChaoticCard, ListingsAndContentReadsEndInTheLibrarysOwnErrors) {
    std::size_t listed = 0;
    for (std::uint32_t seed = 1; seed <= SEEDS; ++seed) {
        ChaoticCard card(seed);
        amwferrix::Token token(card);
        survive("listKeyPairs", seed, [&] {
            amw::KeyPairList list;
            token.listKeyPairs(list);
            listed += list.size();
        });
        survive("listCertificates", seed, [&] {
            amw::X509CertificateList list;
            token.listCertificates(list);
            listed += list.size();
            readEveryContent(list);
        });
        survive("listFiles", seed, [&] {
            amw::FileList list;
            token.listFiles(list);
            listed += list.size();
            readEveryContent(list);
        });
        survive("listDirs", seed, [&] {
            amw::DirectoryList list;
            token.listDirs(list);
            listed += list.size();
        });
        survive("listDataObjects", seed, [&] {
            amw::DataObjectList list;
            token.listDataObjects(list);
            listed += list.size();
            readEveryContent(list);
        });
        survive("listAuthenticateObjects", seed, [&] {
            amw::AuthenticationObjectList list;
            token.listAuthenticateObjects(list);
            listed += list.size();
        });
    }
    // The chaos must sometimes look like a card, or the readers behind the
    // first checks were never reached.
    EXPECT_LT(0u, listed);
}

TEST(ChaoticCard, CardFactsPropertiesAndAuthenticationEndInTheLibrarysOwnErrors) {
    const wchar_t* const getNames[] = {L"VX_GET_LIFE_CYCLE_STATE", L"VX_GET_GAC_INFO",
                                       L"VX_GET_KEYPAIR_SLOT_COUNT", L"VX_GET_PIN_POLICY",
                                       L"VX_GET_TRIES_REMAINING"};
    const std::uint8_t pin[] = {'1', '2', '3', '4'};
    const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 0,
                                         0, false);
    const amw::AuthenticationObject admin(amw::AMWROLE_ADMIN, amw::AuthenticationObject::PIN, 5,
                                          0, 0, false);
    for (std::uint32_t seed = 1; seed <= SEEDS; ++seed) {
        ChaoticCard card(seed);
        card.pinPad = seed % 2 == 0;
        amwferrix::Token token(card);
        survive("getCacheFreshness", seed, [&] {
            amw::FreshnessRecord record;
            token.getCacheFreshness(record);
        });
        survive("getCardSerialNumber", seed, [&] {
            StaticBuffer<256> serial;
            token.getCardSerialNumber(serial);
            EXPECT_GE(256u, serial.length);
        });
        survive("getMemoryInfo", seed, [&] {
            std::uint32_t total = 0;
            std::uint32_t available = 0;
            token.getMemoryInfo(total, available);
        });
        survive("getVersion", seed, [&] {
            std::uint8_t major = 0;
            std::uint8_t minor = 0;
            token.getVersion(&major, &minor);
        });
        survive("getAuthStateMask", seed, [&] { token.getAuthStateMask(); });
        for (const wchar_t* name : getNames) {
            survive("getProperty", seed, [&] {
                std::uint8_t buffer[64] = {};
                std::uint32_t size = sizeof buffer;
                token.getProperty(name, buffer, &size, seed % 3 == 0 ? 2048 : 1);
                EXPECT_GE(sizeof buffer, size);
            });
        }
        survive("setProperty", seed, [&] {
            const std::uint8_t value[16] = {'9', '8', '7', '6'};
            token.setProperty(L"VX_SET_AO", value, 16, 1);
        });
        survive("authenticate", seed, [&] {
            std::uint32_t tries = 0;
            token.authenticate(user, pin, sizeof pin, &tries, nullptr);
        });
        survive("unblockPin", seed, [&] {
            std::uint32_t tries = 0;
            token.unblockPin(admin, pin, sizeof pin, user, pin, sizeof pin, &tries, nullptr);
        });
        survive("generateSessionPin", seed, [&] {
            StaticBuffer<128> sessionPin;
            token.generateSessionPin(amw::AMWROLE_USER, &sessionPin);
        });
    }
}

}  // namespace
