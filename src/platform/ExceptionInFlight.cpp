#include "platform/ExceptionInFlight.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

namespace Platform {

std::string DescribeExceptionInFlight() {
    const std::exception_ptr current = std::current_exception();
    if (!current) {
        return {};
    }
    const std::type_info* type = abi::__cxa_current_exception_type();
    std::string text = "exception";
    if (type != nullptr) {
        int status = 0;
        std::unique_ptr<char, decltype(&std::free)> demangled(
            abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), &std::free);
        text = status == 0 && demangled ? demangled.get() : type->name();
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& error) {
        text += ": ";
        text += error.what();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a thrown non-exception has no text
    }
    return text;
}

}  // namespace Platform
