#include "ctl/pcscreader.h"

#include <functional>
#include <utility>

#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "ctllog.h"
#include "logger.h"
#include "pcsccontext.h"

namespace ctl {

PcScReader::PcScReader(std::wstring readerName) : name(std::move(readerName)) {}

namespace {

std::vector<PcScReader> listWith(const std::function<std::uint32_t(std::vector<std::wstring>&)>& listing) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScReader::list");
    std::vector<PcScReader> readers;
    std::vector<std::wstring> names;
    const std::uint32_t rv = listing(names);
    ctllog::pcscResult(
        "SCardListReadersW(context, NULL, reinterpret_cast<wchar_t *>(&buf), &buf_len)", rv);
    if (rv == PcScResult::NO_READERS_AVAILABLE) return readers;
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
    for (auto& readerName : names) {
        if (readerName.empty()) continue;
        ctllog::parameter(L"reader_name", readerName);
        readers.emplace_back(std::move(readerName));
    }
    return readers;
}

}  // namespace

// The module's listing: on the process's shared context.
std::vector<PcScReader> PcScReader::list() {
    PcScApi& api = PcScApi::current();
    return listWith([&](std::vector<std::wstring>& names) {
        return withSharedContext(api, [&](PcScContext context) {
            names.clear();
            return api.listReaders(context, names);
        });
    });
}

std::vector<PcScReader> PcScReader::list(PcScApi& api) { return listNonConst(api); }

std::vector<PcScReader> PcScReader::list(PcScApi& api, PcScContext context) {
    return listWith([&](std::vector<std::wstring>& names) { return api.listReaders(context, names); });
}

// On a context of its own, so that a stopped service shows as such.
std::vector<PcScReader> PcScReader::listNonConst(PcScApi& api) {
    PcScContextHolder context(api);
    return list(api, context.get());
}

bool PcScReader::isCardPresent() const {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScReader::isCardPresent");
    ctllog::parameter(L"name", name.empty() ? std::wstring(L"NULL") : name);
    PcScApi& api = PcScApi::current();

    PcScReaderState state;
    const std::uint32_t rv = withSharedContext(api, [&](PcScContext context) {
        state = PcScReaderState();
        state.readerName = name;
        return api.getStatusChange(context, 1, &state, 1);
    });
    ctllog::pcscResult("SCardGetStatusChangeW(context, 1, &rs, 1)", rv);
    if (rv == PcScResult::NO_READERS_AVAILABLE) return false;
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
    return (state.eventState & PcScState::PRESENT) != 0;
}

void PcScReader::releaseSharedContext() noexcept { ctl::releaseSharedContext(); }

}  // namespace ctl
