// The connection a slot holds: connected from construction to disconnect or
// destruction, with the PC/SC transaction that serialises card dialogues
// across threads and processes.
#pragma once

#include "ctl/pcsccardconnection.h"
#include "ctl/pcscreader.h"

namespace ctl {

class LockablePcScCardConnection : public PcScCardConnection {
public:
    // Connects to the card in `reader`; throws CtlException when the service
    // refuses (the context opened for it is released first).
    LockablePcScCardConnection(const PcScReader& reader, Mode mode, Protocol protocol);
    LockablePcScCardConnection(const PcScReader& reader, Mode mode, Protocol protocol,
                               PcScApi& api);
    // Disconnects leaving the card as it is unless already disconnected;
    // never throws.
    ~LockablePcScCardConnection() override;

    // Begins the transaction and checks that the card is still the one
    // connected: a reset or removal since the last transaction surfaces here
    // as CtlException 0x80100068 or 0x80100069, with the transaction ended.
    void lock();
    void unlock(Disposition disposition);
    void disconnect(Disposition disposition);
    bool isValid();
    bool isDisconnected() const noexcept { return disconnected; }

private:
    void connect(const PcScReader& reader, Mode mode, Protocol protocol);
    std::uint32_t readState();

    bool disconnected = false;
};

}  // namespace ctl
