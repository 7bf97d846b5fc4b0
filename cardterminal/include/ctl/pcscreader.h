// One PC/SC reader, by its (wide) name.
#pragma once

#include <string>
#include <vector>

#include "ctl/pcscapi.h"

namespace ctl {

class PcScApi;

class PcScReader {
public:
    explicit PcScReader(std::wstring name);
    PcScReader(const PcScReader&) = default;
    PcScReader& operator=(const PcScReader&) = default;
    PcScReader(PcScReader&&) noexcept = default;
    PcScReader& operator=(PcScReader&&) noexcept = default;
    ~PcScReader() = default;

    const wchar_t* getName() const noexcept { return name.c_str(); }
    const std::wstring& getNameString() const noexcept { return name; }

    // The readers in the order the service reports them; empty when none is
    // installed. Throws CtlException on any other service failure.
    static std::vector<PcScReader> list();
    // The same through a given service boundary.
    static std::vector<PcScReader> list(PcScApi& api);
    // The same on a context the caller owns (the event listener's).
    static std::vector<PcScReader> list(PcScApi& api, PcScContext context);
    // True when the service reports a card in this reader; false when no
    // reader is installed. Throws CtlException on any other failure.
    bool isCardPresent() const;
    // Listing and card presence use one context per process, kept between
    // calls; this releases it (C_Finalize), and the next use makes a new one.
    static void releaseSharedContext() noexcept;

private:
    static std::vector<PcScReader> listNonConst(PcScApi& api);

    std::wstring name;
};

}  // namespace ctl
