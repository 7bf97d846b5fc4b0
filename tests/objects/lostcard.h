// A simulated card that can be pulled out at any command of a call, for the
// tests of writes cut off by a lost card.
#pragma once

#include <algorithm>
#include <functional>
#include <string>

#include "amw/interruptedwrite.h"
#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "objectstestsupport.h"
#include "vxexception.h"

namespace objectstest {

// The card is pulled out when the call sends its command number `lostAt`:
// that command and every later one fail as PC/SC reports a removed card.
class LosingConnection : public cardsim::EngineConnection {
public:
    using EngineConnection::EngineConnection;
    void loseAt(std::size_t command) {
        lostAt = command;
        sentSoFar = 0;
    }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override {
        if (lostAt != 0 && ++sentSoFar >= lostAt) throw ctl::CtlException(ctl::PcScResult::REMOVED_CARD);
        return EngineConnection::transmit(command, commandLength, response, responseLength, flags);
    }

private:
    std::size_t lostAt = 0;
    std::size_t sentSoFar = 0;
};

class LosingCardFixture : public CardFixture {
protected:
    void SetUp() override {
        CardFixture::SetUp();
        useLosingConnection();
    }

    void useLosingConnection() {
        auto losing = std::make_unique<LosingConnection>(*engine);
        losingConnection = losing.get();
        connection = std::move(losing);
    }

    // The card after a power cycle: what it stored, nothing it had open.
    void powerCycle() {
        startCard(engine->state());
        useLosingConnection();
    }

    // Objects on the card whose metadata still carries a mark.
    std::size_t markedOnCard() const {
        // The mark's tag: what every state of the mark starts with.
        const StaticBuffer<128> mark =
            amw::interruptedwrite::marked(StaticBuffer<128>(), amw::interruptedwrite::Mark::CREATING);
        const Bytes tag(mark.data, mark.data + amw::interruptedwrite::MARK_SIZE - 1);
        std::size_t count = 0;
        for (const auto& object : engine->state().objects) {
            if (std::search(object.metadata.begin(), object.metadata.end(), tag.begin(), tag.end()) !=
                object.metadata.end())
                ++count;
        }
        return count;
    }

    // Runs `write` in a call that loses the card at command `lostAt`; the
    // card is then power-cycled.
    void cutOff(std::size_t lostAt, const std::function<void(amw::CachedToken&)>& write) {
        {
            auto call = beginCall();
            losingConnection->loseAt(lostAt);
            bool failed = false;
            try {
                write(*call);
            } catch (const VxException&) {
                failed = true;
            }
            EXPECT_TRUE(failed) << "the call did not see the card go";
            losingConnection->loseAt(0);
        }
        powerCycle();
    }

    LosingConnection* losingConnection = nullptr;
};

}  // namespace objectstest
