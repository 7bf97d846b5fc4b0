#include "amw/amwtypes.h"

namespace amw {

const wchar_t* roleName(std::uint32_t role) noexcept {
    static const wchar_t* const names[AMWROLE_COUNT] = {
        L"amw::AMWROLE_EVERYONE", L"amw::AMWROLE_USER",  L"amw::AMWROLE_ADMIN",
        L"amw::AMWROLE_USER2",    L"amw::AMWROLE_USER3", L"amw::AMWROLE_USER4",
        L"amw::AMWROLE_USER5",    L"amw::AMWROLE_USER6"};
    return isValidRole(role) ? names[role] : L"UNKNOWN";
}

const wchar_t* authenticationResultName(std::uint32_t result) noexcept {
    switch (result) {
    case AUTHENTICATION_SUCCESS:
        return L"amw::AUTHENTICATION_SUCCESS";
    case AUTHENTICATION_WRONG_PIN:
        return L"amw::AUTHENTICATION_WRONG_PIN";
    case AUTHENTICATION_PIN_BLOCKED:
        return L"amw::AUTHENTICATION_PIN_BLOCKED";
    default:
        return L"UNKNOWN";
    }
}

}  // namespace amw
