// What both backends' terminate handlers say about the C++ exception in flight. Private
// to the platform layer.
#pragma once

#include <string>

namespace Platform {

// "<type>: <what>" of the exception being handled, or empty when there is none.
std::string DescribeExceptionInFlight();

}  // namespace Platform
