#include "commandapdu.h"

namespace cardsim {

std::optional<CommandApdu> CommandApdu::parse(const Bytes& apdu) {
    if (apdu.size() < 4) {
        return std::nullopt;
    }
    CommandApdu command;
    command.cla = apdu[0];
    command.ins = apdu[1];
    command.p1 = apdu[2];
    command.p2 = apdu[3];
    if (apdu.size() == 4) {
        return command;
    }
    if (apdu.size() == 5) {
        command.hasLe = true;
        command.le = apdu[4] == 0 ? 256 : apdu[4];
        return command;
    }
    const std::size_t lc = apdu[4];
    if (lc == 0) {
        return std::nullopt;  // extended length: not supported by the card
    }
    const std::size_t rest = apdu.size() - 5;
    if (rest != lc && rest != lc + 1) {
        return std::nullopt;
    }
    command.data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (rest == lc + 1) {
        command.hasLe = true;
        command.le = apdu.back() == 0 ? 256 : apdu.back();
    }
    return command;
}

}  // namespace cardsim
