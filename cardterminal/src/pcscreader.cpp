#include "ctl/pcscreader.h"

#include <utility>

#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "ctllog.h"
#include "logger.h"
#include "pcsccontext.h"

namespace ctl {

PcScReader::PcScReader(std::wstring readerName) : name(std::move(readerName)) {}

std::vector<PcScReader> PcScReader::list() { return listNonConst(PcScApi::current()); }

std::vector<PcScReader> PcScReader::list(PcScApi& api) { return listNonConst(api); }

std::vector<PcScReader> PcScReader::listNonConst(PcScApi& api) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScReader::list");
    std::vector<PcScReader> readers;
    PcScContextHolder context(api);

    std::vector<std::wstring> names;
    const std::uint32_t rv = api.listReaders(context.get(), names);
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

bool PcScReader::isCardPresent() const {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScReader::isCardPresent");
    ctllog::parameter(L"name", name.empty() ? std::wstring(L"NULL") : name);
    PcScApi& api = PcScApi::current();
    PcScContextHolder context(api);

    PcScReaderState state;
    state.readerName = name;
    const std::uint32_t rv = api.getStatusChange(context.get(), 1, &state, 1);
    ctllog::pcscResult("SCardGetStatusChangeW(context, 1, &rs, 1)", rv);
    if (rv == PcScResult::NO_READERS_AVAILABLE) return false;
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
    return (state.eventState & PcScState::PRESENT) != 0;
}

}  // namespace ctl
