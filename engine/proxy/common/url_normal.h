#pragma once
// The normal forms in which the gateways judge what a client names: a URL's path and query (RFC
// 3986 section 6.2.2) and a host name as the resolver will read it. A rule compares texts, so two
// spellings of one request ("/%73ecret", "//secret", "/public/../secret") must reach it as one
// text, and what is sent on (the request line, the Host header, the cache key, the name that is
// looked up) is that same text: a request is never judged in one spelling and served in another.
//
// Pure functions of their input (no engine state), so tests and a fuzzer drive them directly.
#include <cstdint>
#include <string_view>

#include "engine/config/archive.h"  // CString

// A URL path in normal form:
//  - an escape of an unreserved character (letters, digits, "-", ".", "_", "~") is that character;
//    every other escape has upper-case hexadecimal digits;
//  - a "%" that is not followed by two hexadecimal digits, a "#" (a fragment never reaches a server)
//    and any byte that is no printable ASCII character are escaped;
//  - repeated "/" are one "/", then the dot segments are removed (RFC 3986 section 5.2.4).
// The result starts with "/" (an empty path stays empty; one without a leading "/" gets one).
CString NormalizeUrlPath(std::string_view path);

// A query in normal form: the escapes as for a path ("/" and "." stay as they are: a query has no
// segments).
CString NormalizeUrlQuery(std::string_view query);

// Whether every server reads the segments of a normal path as they stand. Some servers also take
// an escaped "/" or "\" (%2F, %5C), a plain "\", an overlong UTF-8 spelling of ".", "/" or "\"
// (%C0%AE ...) as that character, or cut ";parameters" off a segment; false when reading the path
// that way gives an empty, "." or ".." segment ("/public/..%2Fsecret", "/..;/secret"), where the
// server would serve another path than the one judged. *why says which.
bool IsUnambiguousPath(std::string_view normalPath, const char** why = nullptr);

// A host name as the resolver will read it: ASCII letters lower-case; trailing dots dropped (a
// name with and without its root dot is one name); a number the resolver takes as an IPv4 address
// in any of its spellings ("127.1", "0x7f.0.0.1", "017700000001", "2130706433") in dotted decimal.
// Any other byte is kept as it is: the resolver is asked without IDN conversion, so a name in
// Unicode is looked up (and judged) as those bytes, never as its "xn--" form. Empty when nothing
// is left.
CString NormalizeHostName(std::string_view host);

// The IPv4 address of text the way the system resolver reads a number (inet_aton's forms: one to
// four parts, each decimal, octal with a leading 0 or hexadecimal with 0x, the last part filling
// the remaining bytes); false for anything else. address: host byte order.
bool ParseResolverNumber(std::string_view text, uint32_t* address);
