// What the publisher's signature of a patch list says, and the keys it is checked with.
//
// A server publishes "patches.txt.minisig" beside "patches.txt": a minisign signature
// whose trusted comment carries "list-version:N" (a number that only grows from one
// published list to the next) and optionally "expires:YYYY-MM-DDTHH:MM:SSZ", separated by
// spaces or tabs; other words are ignored. Being in the trusted comment, both are covered
// by the signature, so a mirror can neither replay an older list (the patcher keeps the
// highest version it has accepted) nor keep serving one past its date.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patch/Minisign.h"

namespace BexoPatch {

struct ListTerms {
    std::uint64_t version = 0;
    std::int64_t expires = 0;  // seconds since 1970 UTC; 0: the list does not expire
};

// A decimal number of at most 19 digits.
bool ParseListVersion(const std::string& text, std::uint64_t* version);
// "YYYY-MM-DDTHH:MM:SSZ" (UTC), from 1970 on, as seconds since 1970.
bool ParseUtcTime(const std::string& text, std::int64_t* seconds);
std::string FormatUtcTime(std::int64_t seconds);
// The trusted comment of a list's signature; expires 0 leaves the date out.
std::string FormatListComment(std::uint64_t version, std::int64_t expires);
// False, with error set, when the comment has no valid list-version, or an invalid expires.
bool ParseListComment(const std::string& comment, ListTerms* terms, std::string* error);

// Whether build `target` is above build `current`: both decimal numbers, compared as such.
bool IsBuildAbove(const std::string& target, const std::string& current);

// The publisher keys this patcher trusts: the ones built in (CMake OSMEL_TRUSTED_KEYS)
// unless replaced. Empty: patch lists and packages are not verified.
const std::vector<Minisign::PublicKey>& TrustedKeys();
// Replaces the trusted keys, for tests and tools; never while a session runs.
void SetTrustedKeys(std::vector<Minisign::PublicKey> keys);

// The highest list version this installation has accepted, kept in the registry store
// beside the product's values; 0 when none is stored or it cannot be read.
std::uint64_t AcceptedListVersion();
// Stores version when it is higher than the stored one; false when the store refused.
bool RememberListVersion(std::uint64_t version);

}  // namespace BexoPatch
