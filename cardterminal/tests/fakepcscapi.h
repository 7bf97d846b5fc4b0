// An in-process PC/SC service for unit tests: records every call and answers
// from queues the test fills. Used for what the real service cannot be made to
// do on demand (a T=0 card, malformed responses, failing disconnects, a
// service that stops and comes back).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ctl/pcscapi.h"

namespace ctl::testing {

using Bytes = std::vector<std::uint8_t>;

struct TransmitAnswer {
    std::uint32_t result = PcScResult::SUCCESS;
    Bytes response;
};

struct ControlCall {
    std::uint32_t code;
    Bytes input;
    std::uint32_t outputCapacity;
};

struct ControlAnswer {
    std::uint32_t result = PcScResult::SUCCESS;
    Bytes output;
    std::uint32_t reportedLength = 0xFFFFFFFF;  // default: output.size()
};

// One answer of a status-change wait: the result, and event states for the
// entries by reader name (names absent keep their current state, which is
// also what a real service reports for a reader without change).
struct StatusAnswer {
    std::uint32_t result = PcScResult::SUCCESS;
    std::map<std::wstring, std::uint32_t> eventStates;
};

class FakePcScApi : public PcScApi {
public:
    // Service side.
    std::vector<std::wstring> readers;
    std::uint32_t listResult = PcScResult::SUCCESS;
    std::uint32_t establishResult = PcScResult::SUCCESS;
    std::deque<std::uint32_t> establishResults;  // consumed before establishResult
    std::uint32_t connectResult = PcScResult::SUCCESS;
    std::uint32_t cardProtocol = 2;  // 1 = T=0, 2 = T=1
    Bytes cardAtr = {0x3B, 0x8A, 0x80, 0x01};
    std::deque<std::uint32_t> statusResults;  // consumed first, then 0
    std::uint32_t beginResult = PcScResult::SUCCESS;
    std::uint32_t endResult = PcScResult::SUCCESS;
    std::uint32_t disconnectResult = PcScResult::SUCCESS;
    std::deque<TransmitAnswer> transmitAnswers;
    std::deque<ControlAnswer> controlAnswers;
    std::deque<StatusAnswer> statusChangeAnswers;
    // Runs at the start of every status-change wait (e.g. to block).
    std::function<void()> onStatusChange;
    std::uint32_t serviceWaitResult = PcScResult::SUCCESS;

    // What the client did.
    std::vector<Bytes> transmitted;
    std::vector<bool> transmittedWithT0;
    std::vector<std::uint32_t> transmitCapacities;
    std::vector<ControlCall> controls;
    std::vector<std::string> calls;
    std::vector<std::vector<std::wstring>> statusChangeReaders;
    std::vector<std::uint32_t> statusChangeTimeouts;
    std::vector<std::uint32_t> shareModes;
    std::vector<std::uint32_t> preferredProtocols;
    std::vector<std::uint32_t> endDispositions;
    std::vector<std::uint32_t> disconnectDispositions;
    int openContexts = 0;
    std::atomic<int> cancelCalls{0};
    std::atomic<unsigned> serviceWaits{0};

    std::uint32_t establishContext(PcScContext* context) override {
        calls.push_back("establish");
        std::uint32_t rv = establishResult;
        if (!establishResults.empty()) {
            rv = establishResults.front();
            establishResults.pop_front();
        }
        if (rv != PcScResult::SUCCESS) {
            *context = 0;
            return rv;
        }
        *context = ++nextContext;
        ++openContexts;
        return rv;
    }
    std::uint32_t releaseContext(PcScContext) override {
        calls.push_back("release");
        --openContexts;
        return PcScResult::SUCCESS;
    }
    std::uint32_t listReaders(PcScContext, std::vector<std::wstring>& names) override {
        calls.push_back("list");
        names = listResult == PcScResult::SUCCESS ? readers : std::vector<std::wstring>{};
        return listResult;
    }
    std::uint32_t getStatusChange(PcScContext, std::uint32_t timeout, PcScReaderState* states,
                                  std::size_t count) override {
        calls.push_back("statusChange");
        statusChangeTimeouts.push_back(timeout);
        std::vector<std::wstring> names;
        for (std::size_t i = 0; i < count; ++i) names.push_back(states[i].readerName);
        statusChangeReaders.push_back(names);
        if (onStatusChange) onStatusChange();
        if (statusChangeAnswers.empty()) return PcScResult::TIMEOUT;
        StatusAnswer answer = statusChangeAnswers.front();
        statusChangeAnswers.pop_front();
        for (std::size_t i = 0; i < count; ++i) {
            auto it = answer.eventStates.find(states[i].readerName);
            states[i].eventState = it != answer.eventStates.end() ? it->second : states[i].currentState;
        }
        return answer.result;
    }
    std::uint32_t cancel(PcScContext) override {
        ++cancelCalls;
        return PcScResult::SUCCESS;
    }
    std::uint32_t connect(PcScContext, const std::wstring&, std::uint32_t shareMode,
                          std::uint32_t preferred, PcScHandle* handle,
                          std::uint32_t* activeProtocol) override {
        calls.push_back("connect");
        shareModes.push_back(shareMode);
        preferredProtocols.push_back(preferred);
        *handle = connectResult == PcScResult::SUCCESS ? 77 : 0;
        *activeProtocol = cardProtocol;
        return connectResult;
    }
    std::uint32_t status(PcScHandle, std::uint32_t* state, std::uint32_t* protocol,
                         std::uint8_t* atr, std::uint32_t* atrLength) override {
        calls.push_back("status");
        std::uint32_t rv = PcScResult::SUCCESS;
        if (!statusResults.empty()) {
            rv = statusResults.front();
            statusResults.pop_front();
        }
        if (state) *state = 0x34;
        if (protocol) *protocol = cardProtocol;
        if (atr && atrLength) {
            const std::size_t n = std::min<std::size_t>(cardAtr.size(), *atrLength);
            std::copy(cardAtr.begin(), cardAtr.begin() + static_cast<std::ptrdiff_t>(n), atr);
            *atrLength = static_cast<std::uint32_t>(n);
        }
        return rv;
    }
    std::uint32_t beginTransaction(PcScHandle) override {
        calls.push_back("begin");
        return beginResult;
    }
    std::uint32_t endTransaction(PcScHandle, std::uint32_t disposition) override {
        calls.push_back("end");
        endDispositions.push_back(disposition);
        return endResult;
    }
    std::uint32_t disconnect(PcScHandle, std::uint32_t disposition) override {
        calls.push_back("disconnect");
        disconnectDispositions.push_back(disposition);
        return disconnectResult;
    }
    std::uint32_t transmit(PcScHandle, bool protocolT0, const std::uint8_t* send,
                           std::uint32_t sendLength, std::uint8_t* receive,
                           std::uint32_t* receiveLength) override {
        transmitted.emplace_back(send, send + sendLength);
        transmittedWithT0.push_back(protocolT0);
        transmitCapacities.push_back(*receiveLength);
        if (transmitAnswers.empty()) return PcScResult::UNKNOWN_ERROR;
        TransmitAnswer answer = transmitAnswers.front();
        transmitAnswers.pop_front();
        if (answer.result != PcScResult::SUCCESS) return answer.result;
        // Like a misbehaving driver, report the full length even when it does
        // not fit; copy only what fits.
        const std::size_t n = std::min<std::size_t>(answer.response.size(), *receiveLength);
        std::copy(answer.response.begin(), answer.response.begin() + static_cast<std::ptrdiff_t>(n),
                  receive);
        *receiveLength = static_cast<std::uint32_t>(answer.response.size());
        return PcScResult::SUCCESS;
    }
    std::uint32_t control(PcScHandle, std::uint32_t controlCode, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outputCapacity, std::uint32_t* outputLength) override {
        controls.push_back(ControlCall{controlCode, input ? Bytes(input, input + inputLength) : Bytes{},
                                       outputCapacity});
        if (controlAnswers.empty()) return 0x80100016;  // not supported by the reader
        ControlAnswer answer = controlAnswers.front();
        controlAnswers.pop_front();
        if (output != nullptr) {
            const std::size_t n = std::min<std::size_t>(answer.output.size(), outputCapacity);
            std::copy(answer.output.begin(), answer.output.begin() + static_cast<std::ptrdiff_t>(n),
                      output);
        }
        *outputLength = answer.reportedLength != 0xFFFFFFFF
                            ? answer.reportedLength
                            : static_cast<std::uint32_t>(answer.output.size());
        return answer.result;
    }
    std::uint32_t featureRequestControlCode() const override { return FEATURE_REQUEST; }
    bool isServiceStopped(std::uint32_t result) const override {
        return result == PcScResult::SERVICE_STOPPED_ERROR || result == PcScResult::COMM_ERROR ||
               result == PcScResult::SYSTEM_CANCELLED || result == PcScResult::NO_SERVICE;
    }
    bool isServiceUnavailable(std::uint32_t result) const override {
        return result == PcScResult::NO_SERVICE || result == PcScResult::SHUTDOWN;
    }
    std::uint32_t waitForServiceStart(unsigned, const std::atomic<bool>& cancelRequested) override {
        ++serviceWaits;
        if (cancelRequested.load()) return PcScResult::CANCELLED;
        return serviceWaitResult;
    }

    static constexpr std::uint32_t FEATURE_REQUEST = 0x42000D48;

private:
    PcScContext nextContext = 1000;
};

}  // namespace ctl::testing
