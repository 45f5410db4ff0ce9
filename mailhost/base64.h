// Base64 (RFC 4648, standard alphabet with padding), for AUTH PLAIN.
//
// Owns: nothing; pure procedures.
// Threads: any, no shared state.
#pragma once
#include <string>

std::string base64_encode(const std::string &bytes);
// Decodes `text` into `out`. False (and `out` unspecified) for anything but canonical base64:
// a length that is not a multiple of 4, a character outside the alphabet, padding anywhere but
// at the end, or non-zero bits left over before the padding.
bool base64_decode(const std::string &text, std::string *out);
