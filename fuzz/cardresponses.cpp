// Card responses to every command the card token sends: a fuzzed card (see
// fuzzcard.h) behind the token, and a few of the token's operations in a row.
// Input:
//   1 byte   bit 0: the reader has a pin pad
//   then     repeatedly an operation byte followed by the answers the card
//            gives while the operation runs (at most 8 operations)
// Every operation ends normally or with one of the library's own exceptions
// (which the Cryptoki frame translates); nothing else may escape, and what
// the token hands back stays inside its buffers.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "amw/authenticationobject.h"
#include "amw/freshnessrecord.h"
#include "amw/keypair.h"
#include "amwferrix/token.h"
#include "fuzzcard.h"
#include "fuzzenvironment.h"
#include "fuzzinput.h"
#include "vxexception.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

const std::uint8_t PIN[] = {'1', '2', '3', '4', '5', '6'};

template <class List>
void readEveryContent(List& list) {
    for (auto& object : list) {
        const auto& content = object->getContent();
        require(content.length <= content.capacity());
    }
}

amw::AuthenticationObject pinObject(std::uint32_t role) {
    return amw::AuthenticationObject(role, amw::AuthenticationObject::PIN, 5, 0, 0, false);
}

void runOperation(std::uint8_t operation, fuzz::FuzzInput& input, amwferrix::Token& token) {
    switch (operation % 26) {
        case 0: {
            amw::KeyPairList list;
            token.listKeyPairs(list);
            break;
        }
        case 1: {
            amw::X509CertificateList list;
            token.listCertificates(list);
            readEveryContent(list);
            break;
        }
        case 2: {
            amw::FileList list;
            token.listFiles(list);
            readEveryContent(list);
            break;
        }
        case 3: {
            amw::DirectoryList list;
            token.listDirs(list);
            break;
        }
        case 4: {
            amw::DataObjectList list;
            token.listDataObjects(list);
            readEveryContent(list);
            break;
        }
        case 5: {
            amw::AuthenticationObjectList list;
            token.listAuthenticateObjects(list);
            break;
        }
        case 6: {
            amw::FreshnessRecord record;
            token.getCacheFreshness(record);
            break;
        }
        case 7: {
            StaticBuffer<256> serial;
            token.getCardSerialNumber(serial);
            require(serial.length <= 256);
            break;
        }
        case 8: {
            amw::CardId cardId{};
            token.getCardId(cardId);
            break;
        }
        case 9: {
            std::uint32_t total = 0;
            std::uint32_t available = 0;
            token.getMemoryInfo(total, available);
            break;
        }
        case 10: {
            std::uint8_t major = 0;
            std::uint8_t minor = 0;
            token.getVersion(&major, &minor);
            break;
        }
        case 11:
            token.getAuthStateMask();
            break;
        case 12: {
            static const wchar_t* const names[] = {
                L"VX_GET_LIFE_CYCLE_STATE", L"VX_GET_GAC_INFO", L"VX_GET_KEYPAIR_SLOT_COUNT",
                L"VX_GET_PIN_POLICY", L"VX_GET_TRIES_REMAINING"};
            const wchar_t* name = names[input.byte() % 5];
            std::uint8_t buffer[64] = {};
            std::uint32_t capacity = input.byte() % (sizeof buffer + 1);
            std::uint32_t length = capacity;
            const std::uint32_t flags = input.byte() % 2 == 0 ? input.byte() % 9 : 1024u * (1 + input.byte() % 2);
            token.getProperty(name, buffer, &length, flags);
            require(length <= capacity);
            break;
        }
        case 13: {
            std::uint32_t tries = 0;
            token.authenticate(pinObject(1 + input.byte() % 7), PIN, sizeof PIN, &tries, nullptr);
            break;
        }
        case 14: {
            std::uint32_t tries = 0;
            const std::uint8_t sessionPin[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            token.authenticateSessionPin(1 + input.byte() % 7, sessionPin, sizeof sessionPin, &tries);
            break;
        }
        case 15: {
            StaticBuffer<128> sessionPin;
            token.generateSessionPin(1 + input.byte() % 7, &sessionPin);
            require(sessionPin.length <= 128);
            break;
        }
        case 16: {
            StaticBuffer<128> challenge;
            token.getChallenge(1 + input.byte() % 7, &challenge);
            require(challenge.length <= 128);
            break;
        }
        case 17: {
            std::uint32_t tries = 0;
            token.unblockPin(pinObject(amw::AMWROLE_ADMIN), PIN, sizeof PIN, pinObject(amw::AMWROLE_USER),
                             PIN, sizeof PIN, &tries, nullptr);
            break;
        }
        case 18:
            token.changePin(pinObject(amw::AMWROLE_USER), PIN, sizeof PIN, nullptr);
            break;
        case 19:
            token.selectApplet();
            break;
        case 20: {
            amw::KeyPairList list;
            token.listKeyPairs(list);
            for (auto& keyPair : list) {
                std::vector<std::uint8_t> block(keyPair->getKeySize() / 8, 0x5A);
                StaticBuffer<256> result;
                token.rsaExponentiation(keyPair.get(), block.data(),
                                        static_cast<std::uint32_t>(block.size()), &result, false);
                require(result.length <= 256);
            }
            break;
        }
        case 21: {
            auto object = token.createDataObject(StaticBuffer<128>("label", 5), StaticBuffer<128>("id", 2),
                                                 StaticBuffer<128>(), StaticBuffer<128>("app", 3),
                                                 0x0101, 0xFFFF, 0x0101, 0x0101);
            object->setContent(PIN, sizeof PIN);
            object->commitCreationOrMetadataChanges();
            object->commitContentChanges();
            token.deleteDataObject(*object);
            break;
        }
        case 22: {
            amw::FreshnessRecord record;
            token.setCacheFreshness(record);
            break;
        }
        case 23:
            token.deauthenticate(1 + input.byte() % 7);
            break;
        case 24: {
            amw::DirectoryList dirs;
            token.listDirs(dirs);
            amw::FileList files;
            token.listFiles(files);
            for (auto& file : files) {
                file->setContent(PIN, sizeof PIN);
                file->commitContentChanges();
            }
            break;
        }
        default: {
            amw::CardId cardId{};
            cardId[0] = input.byte();
            token.setCardId(cardId);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const bool pinPad = (input.byte() & 1) != 0;
    fuzz::FuzzCard card(input, pinPad);
    amwferrix::Token token(card);
    for (int step = 0; step < 8 && !input.atEnd(); ++step) {
        try {
            runOperation(input.byte(), input, token);
        } catch (const VxException&) {
        }
    }
    return 0;
}
