// What every program answers to --version: the product version and the build it was
// made from (a version-control description, or what the packager set as OSMEL_BUILD_ID).
#pragma once

#include <string>

// "osmel-mkpatch (Osmel Patcher) 0.1.0\nbuild 0123456789ab\n": the first line in the
// form help2man and package tools read.
std::string VersionText(const std::string& program);

// Writes VersionText to standard output; returns the exit status to end with (1 when
// the output could not be written, e.g. to a closed pipe).
int PrintVersion(const std::string& program);

// Whether the command line is exactly "PROGRAM --version".
bool AsksForVersion(int argc, const char* const* argv);
