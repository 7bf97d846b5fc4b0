#include "bench/pcscclient.h"

#include <winscard.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

std::uint32_t code32(LONG rv) { return static_cast<std::uint32_t>(rv); }

void check(const char* call, LONG rv) {
    if (rv != SCARD_S_SUCCESS) throw PcscError(call, code32(rv));
}

}  // namespace

Bytes fromHex(const std::string& hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == ':') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else throw std::invalid_argument("not a hex digit in \"" + hex + "\"");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits in \"" + hex + "\"");
    return out;
}

std::string toHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

PcscError::PcscError(const std::string& call, std::uint32_t code) : code_(code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    message_ = call + " failed: " + buf;
}

PcscClient::PcscClient(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        SCARDCONTEXT ctx = 0;
        LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
        if (rv == SCARD_S_SUCCESS) {
            context_ = static_cast<std::intptr_t>(ctx);
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) throw PcscError("SCardEstablishContext", code32(rv));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

PcscClient::~PcscClient() { SCardReleaseContext(static_cast<SCARDCONTEXT>(context_)); }

std::vector<std::string> PcscClient::readers() {
    char* list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(context_), nullptr, reinterpret_cast<char*>(&list), &length);
    std::vector<std::string> names;
    if (rv == SCARD_E_NO_READERS_AVAILABLE) return names;
    check("SCardListReaders", rv);
    for (const char* p = list; p < list + length && *p; p += std::string(p).size() + 1) names.emplace_back(p);
    SCardFreeMemory(static_cast<SCARDCONTEXT>(context_), list);
    return names;
}

std::uint32_t PcscClient::readerState(const std::string& reader) {
    SCARD_READERSTATE rs{};
    rs.szReader = reader.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(static_cast<SCARDCONTEXT>(context_), 0, &rs, 1) != SCARD_S_SUCCESS) return 0;
    return static_cast<std::uint32_t>(rs.dwEventState);
}

bool PcscClient::waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    SCARD_READERSTATE rs{};
    rs.szReader = reader.c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context_),
                                       static_cast<DWORD>(left.count() > 0 ? left.count() : 0), &rs, 1);
        if (rv == SCARD_S_SUCCESS) {
            bool isPresent = (rs.dwEventState & SCARD_STATE_PRESENT) != 0;
            // A present card that pcscd could not power yet is not usable.
            bool settled = !isPresent || (rs.dwEventState & SCARD_STATE_MUTE) == 0;
            if (isPresent == present && settled && !(rs.dwEventState & SCARD_STATE_UNKNOWN)) return true;
            rs.dwCurrentState = rs.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        } else if (rv != SCARD_E_TIMEOUT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

std::uint32_t PcscClient::tryConnect(const std::string& reader, std::uint32_t shareMode) {
    SCARDHANDLE handle = 0;
    DWORD active = 0;
    LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context_), reader.c_str(), shareMode,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &active);
    if (rv == SCARD_S_SUCCESS) SCardDisconnect(handle, SCARD_LEAVE_CARD);
    return code32(rv);
}

PcscCard PcscClient::connect(const std::string& reader, bool shared) {
    SCARDHANDLE handle = 0;
    DWORD active = 0;
    check("SCardConnect", SCardConnect(static_cast<SCARDCONTEXT>(context_), reader.c_str(),
                                       shared ? SCARD_SHARE_SHARED : SCARD_SHARE_EXCLUSIVE,
                                       SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &active));
    return PcscCard(static_cast<std::intptr_t>(handle), static_cast<std::uint32_t>(active));
}

PcscCard::PcscCard(PcscCard&& other) noexcept
    : handle_(other.handle_), protocol_(other.protocol_), connected_(other.connected_) {
    other.connected_ = false;
}

PcscCard::~PcscCard() {
    if (connected_) SCardDisconnect(static_cast<SCARDHANDLE>(handle_), SCARD_LEAVE_CARD);
}

std::uint32_t PcscCard::tryTransmit(const Bytes& apdu, Bytes& response) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    response.assign(MAX_BUFFER_SIZE_EXTENDED, 0);
    DWORD length = static_cast<DWORD>(response.size());
    LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(handle_), pci, apdu.data(), static_cast<DWORD>(apdu.size()),
                            nullptr, response.data(), &length);
    response.resize(rv == SCARD_S_SUCCESS ? length : 0);
    return code32(rv);
}

Bytes PcscCard::transmit(const Bytes& apdu) {
    Bytes response;
    std::uint32_t rv = tryTransmit(apdu, response);
    if (rv != SCARD_S_SUCCESS) throw PcscError("SCardTransmit", rv);
    if (response.size() < 2) throw PcscError("SCardTransmit (short response)", SCARD_F_UNKNOWN_ERROR);
    return response;
}

std::uint16_t PcscCard::statusWord(const Bytes& response) {
    if (response.size() < 2) return 0;
    return static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

std::uint32_t PcscCard::control(std::uint32_t code, const Bytes& input, Bytes& output, std::size_t outputCapacity) {
    output.assign(outputCapacity, 0);
    DWORD returned = 0;
    LONG rv = SCardControl(static_cast<SCARDHANDLE>(handle_), code, input.empty() ? nullptr : input.data(),
                           static_cast<DWORD>(input.size()), outputCapacity ? output.data() : nullptr,
                           static_cast<DWORD>(outputCapacity), &returned);
    output.resize(rv == SCARD_S_SUCCESS ? returned : 0);
    if (rv == SCARD_E_INSUFFICIENT_BUFFER) output.assign(returned, 0);
    return code32(rv);
}

std::uint32_t PcscCard::status() {
    DWORD state = 0, protocol = 0, readerLength = 0, atrLength = 0;
    return code32(SCardStatus(static_cast<SCARDHANDLE>(handle_), nullptr, &readerLength, &state, &protocol, nullptr,
                              &atrLength));
}

void PcscCard::beginTransaction() {
    check("SCardBeginTransaction", SCardBeginTransaction(static_cast<SCARDHANDLE>(handle_)));
}

void PcscCard::endTransaction(std::uint32_t disposition) {
    check("SCardEndTransaction", SCardEndTransaction(static_cast<SCARDHANDLE>(handle_), disposition));
}

std::uint32_t PcscCard::disconnect(std::uint32_t disposition) {
    if (!connected_) return 0;
    connected_ = false;
    return code32(SCardDisconnect(static_cast<SCARDHANDLE>(handle_), disposition));
}

}  // namespace bench
