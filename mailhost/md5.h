// MD5 message digest (RFC 1321), for APOP.
//
// Owns: nothing; pure procedures.
// Threads: any, no shared state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum : int32_t { MD5_DIGEST_SIZE = 16 };

// The digest of `size` bytes at `data`.
void md5_digest(const void *data, size_t size, uint8_t digest[MD5_DIGEST_SIZE]);
// The digest of `text` as 32 lower-case hexadecimal digits (the form APOP sends).
std::string md5_hex(const std::string &text);
