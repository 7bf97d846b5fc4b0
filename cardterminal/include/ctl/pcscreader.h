// One PC/SC reader, by its (wide) name.
#pragma once

#include <string>
#include <vector>

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
    // True when the service reports a card in this reader; false when no
    // reader is installed. Throws CtlException on any other failure.
    bool isCardPresent() const;

private:
    static std::vector<PcScReader> listNonConst(PcScApi& api);

    std::wstring name;
};

}  // namespace ctl
