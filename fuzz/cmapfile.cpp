// The container map and the card cache file: fuzzed bytes as the content of
// "mscp/cmapfile" and "cardcf" on a simulated card, then the container map's
// operations. Input:
//   2 bytes  length of the card cache file (big-endian), then its bytes
//   2 bytes  length of the container map, then its bytes
//   then up to 6 steps: one byte for the operation and one for its argument
//     (add a record at the index chosen for a new key pair, add one at a
//     given index, delete, get default, set default)
// Every step ends normally or with the library's own exceptions, and a step
// that fails leaves both files on the card as they were. The whole input is
// also read as a journal of the two files.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzzenvironment.h"
#include "fuzzinput.h"
#include "internal/cmapfile.h"
#include "simulatedcard.h"
#include "vxexception.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

using Bytes = std::vector<std::uint8_t>;

// Block ids of the personalised card's minidriver files.
constexpr std::uint16_t CARDCF_BLOCK = 0x0002;
constexpr std::uint16_t CMAPFILE_BLOCK = 0x0004;

cardsim::CardState baseCard;

Bytes contentOf(const cardsim::CardState& state, std::uint16_t blockId) {
    const cardsim::CardObject* object = state.findObject(blockId);
    return object != nullptr && object->content ? *object->content : Bytes();
}

void runStep(std::uint8_t step, std::uint8_t argument, amw::CachedToken& token) {
    const std::uint32_t keySpec = (argument & 0x80) != 0 ? 1 : 0;
    const std::uint8_t index = argument & 0x7F;
    switch (step % 5) {
        case 0:
        case 1: {
            // A generated key pair's record (at the index chosen for it), or
            // a public key added to a pair's record at a given index.
            const std::uint8_t id[] = {'i', 'd', argument};
            const std::uint8_t at = step % 5 == 0 ? cmapfile::chooseContainerIndex(token) : index;
            cmapfile::addContainerInCmapfile(token, at, StaticBuffer<128>(id, argument % 4), keySpec,
                                             (argument & 1) ? 2048 : 1024);
            break;
        }
        case 2:
            cmapfile::deleteContainerInCmapfile(token, index, keySpec);
            break;
        case 3:
            cmapfile::getDefaultCertificateContainerIndex(token);
            break;
        default:
            cmapfile::setDefaultCertificate(token, index);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    baseCard = fuzz::personalisedCard();
    require(baseCard.findObject(CARDCF_BLOCK) != nullptr);
    require(baseCard.findObject(CMAPFILE_BLOCK) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The whole input as a journal of the two files: only a whole one is
    // taken, and one of the current format encodes back to the same bytes.
    {
        auto contents = std::make_unique<cmapfile::JournalContents>();
        auto encoded = std::make_unique<amw::DataStorage::Content>();
        // Both decode to the same contents; the old map is known only by its digest.
        if (cmapfile::decodeJournal(data, size, *contents)) {
            auto again = std::make_unique<cmapfile::JournalContents>();
            require(cmapfile::encodeJournal(contents->oldCardcf.data, contents->oldCardcf.size(), nullptr, 0,
                                            contents->cardcf.data, contents->cardcf.size(),
                                            contents->map.data, contents->map.size(), *encoded));
            require(cmapfile::decodeJournal(encoded->data, encoded->size(), *again));
            require(again->cardcf.size() == contents->cardcf.size() && again->map.size() == contents->map.size());
        }
    }
    fuzz::FuzzInput input(data, size);
    cardsim::CardState state = baseCard;
    state.findObject(CARDCF_BLOCK)->content = input.bytes(input.word());
    state.findObject(CMAPFILE_BLOCK)->content = input.bytes(input.word());
    fuzz::SimulatedCard card(state);

    for (int step = 0; step < 6 && !input.atEnd(); ++step) {
        const std::uint8_t operation = input.byte();
        const std::uint8_t argument = input.byte();
        const cardsim::CardState before = card.state();
        try {
            std::unique_ptr<amw::CachedToken> call = card.beginCall();
            runStep(operation, argument, *call);
        } catch (const VxException&) {
            const cardsim::CardState after = card.state();
            require(contentOf(after, CARDCF_BLOCK) == contentOf(before, CARDCF_BLOCK));
            require(contentOf(after, CMAPFILE_BLOCK) == contentOf(before, CMAPFILE_BLOCK));
        }
    }
    return 0;
}
