#include "ctl/lockablepcsccardconnection.h"

#include "ctl/ctlexception.h"
#include "ctllog.h"
#include "logger.h"
#include "pcsccontext.h"

namespace ctl {

namespace {

constexpr std::uint32_t PCSC_SHARE_EXCLUSIVE = 1;
constexpr std::uint32_t PCSC_SHARE_SHARED = 2;

std::uint32_t preferredProtocols(std::uint32_t protocol) {
    switch (protocol) {
        case CardConnection::PROTOCOL_T0:
        case CardConnection::PROTOCOL_T1:
        case CardConnection::PROTOCOL_T0_OR_T1: return protocol;  // same bits as the service's
        default: return 0;
    }
}

// LEAVE_CARD..EJECT_CARD are 1..4; the service counts from 0.
std::uint32_t pcscDisposition(std::uint32_t disposition) {
    return disposition >= CardConnection::LEAVE_CARD && disposition <= CardConnection::EJECT_CARD
               ? disposition - 1
               : 0;
}

}  // namespace

LockablePcScCardConnection::LockablePcScCardConnection(const PcScReader& reader, Mode mode,
                                                       Protocol protocol)
    : LockablePcScCardConnection(reader, mode, protocol, PcScApi::current()) {}

LockablePcScCardConnection::LockablePcScCardConnection(const PcScReader& reader, Mode mode,
                                                       Protocol protocol, PcScApi& pcsc)
    : PcScCardConnection(pcsc) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::LockablePcScCardConnection::LockablePcScCardConnection");
    connect(reader, mode, protocol);
    disconnected = false;
}

void LockablePcScCardConnection::connect(const PcScReader& reader, Mode mode, Protocol requested) {
    ctllog::parameter(L"reader", reader.getNameString());
    if (ctllog::enabled()) {
        ctllog::parameter(L"mode", ctllog::modeText(mode));
        ctllog::parameter(L"protocol", ctllog::protocolText(requested));
    }
    PcScContextHolder newContext(api);
    PcScHandle handle = 0;
    std::uint32_t activeProtocol = 0;
    const std::uint32_t rv =
        api.connect(newContext.get(), reader.getNameString(),
                    mode == MODE_EXCLUSIVE ? PCSC_SHARE_EXCLUSIVE : PCSC_SHARE_SHARED,
                    preferredProtocols(requested), &handle, &activeProtocol);
    ctllog::pcscResult(
        "SCardConnectW(context, reader.getName(), mode == MODE_EXCLUSIVE ? 1 : 2, dwProtocol, "
        "&cardHandle, &dwActiveProcotol)",
        rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);  // the holder releases the context

    try {
        reattach(newContext.get(), handle);
    } catch (...) {
        // Nothing is connected after a failed construction: give the handle
        // back; the holder releases the context.
        const std::uint32_t disconnectRv = api.disconnect(handle, pcscDisposition(LEAVE_CARD));
        ctllog::pcscResult("SCardDisconnect(cardHandle, dwDisposition)", disconnectRv);
        context = 0;
        cardHandle = 0;
        throw;
    }
    newContext.release();
}

LockablePcScCardConnection::~LockablePcScCardConnection() {
    if (disconnected) return;
    try {
        disconnect(LEAVE_CARD);
    } catch (const CtlException& e) {
        Logger::instance().log(LOG_FACILITY_CTL, L"EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        Logger::instance().log(LOG_FACILITY_CTL, L"Uknown exception caught");
    }
}

std::uint32_t LockablePcScCardConnection::readState() {
    std::uint32_t state = 0;
    std::uint32_t activeProtocol = 0;
    return api.status(cardHandle, &state, &activeProtocol, nullptr, nullptr);
}

void LockablePcScCardConnection::lock() {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::LockablePcScCardConnection::lock");
    std::uint32_t rv = api.beginTransaction(cardHandle);
    ctllog::pcscResult("SCardBeginTransaction(cardHandle)", rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);

    rv = readState();
    ctllog::pcscResult("SCardStatusW(cardHandle, NULL, &dwReaderLen , &dwState, NULL, NULL, NULL)", rv);
    if (rv != PcScResult::SUCCESS) {
        const std::uint32_t endRv = api.endTransaction(cardHandle, pcscDisposition(LEAVE_CARD));
        ctllog::pcscResult("SCardEndTransaction(cardHandle, dwDisposition)", endRv);
        throw CtlException(rv);
    }
}

void LockablePcScCardConnection::unlock(Disposition disposition) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::LockablePcScCardConnection::unlock");
    if (ctllog::enabled()) ctllog::parameter(L"disposition", ctllog::dispositionText(disposition));
    const std::uint32_t rv = api.endTransaction(cardHandle, pcscDisposition(disposition));
    ctllog::pcscResult("SCardEndTransaction(cardHandle, dwDisposition)", rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
}

void LockablePcScCardConnection::disconnect(Disposition disposition) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::LockablePcScCardConnection::disconnect");
    if (ctllog::enabled()) ctllog::parameter(L"disposition", ctllog::dispositionText(disposition));
    if (disconnected) return;  // the handle and context are gone already
    const std::uint32_t rv = api.disconnect(cardHandle, pcscDisposition(disposition));
    ctllog::pcscResult("SCardDisconnect(cardHandle, dwDisposition)", rv);
    api.releaseContext(context);
    context = 0;
    cardHandle = 0;
    disconnected = true;
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
}

bool LockablePcScCardConnection::isValid() {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::LockablePcScCardConnection::isValid");
    if (disconnected) return false;
    const std::uint32_t rv = readState();
    ctllog::pcscResult("SCardStatusW(cardHandle, NULL, &dwReaderLen , &dwState, NULL, NULL, NULL)", rv);
    return rv == PcScResult::SUCCESS;
}

}  // namespace ctl
