#include "logger.h"

TraceScope::TraceScope(const wchar_t* facility, const char* functionName) noexcept
    : facility(facility), functionName(functionName != nullptr ? functionName : "") {
    try {
        Logger& logger = Logger::instance();
        logger.log(facility, L"Entering %s()", this->functionName);
        logger.increaseIndent();
    } catch (...) {
        // Without memory for the logger there is no trace; the call goes on.
    }
}

TraceScope::~TraceScope() {
    try {
        Logger& logger = Logger::instance();
        // The outermost call of a thread (back at depth 0) is closed by an
        // empty line; an unbalanced one below 0 is not outermost.
        if (logger.decreaseIndent() == 0) {
            logger.log(facility, L"Leaving %s\n", functionName);
        } else {
            logger.log(facility, L"Leaving %s", functionName);
        }
    } catch (...) {
    }
}
