// The token only handles objects it made itself (listed, created or loaded
// from the cache through its factory): anything else is a programming error.
#pragma once

#include "vxexception.h"

namespace amwferrix {
namespace detail {

template <class Card, class Model>
Card& cardObject(Model& object, const char* function) {
    Card* card = dynamic_cast<Card*>(&object);
    if (card == nullptr) {
        throw InternalErrorException("%s: the object does not belong to a Ferrix card", function);
    }
    return *card;
}

}  // namespace detail
}  // namespace amwferrix
