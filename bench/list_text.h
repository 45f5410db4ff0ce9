// The list file the benchmarks read, natively and under Wine: as published lists are written.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// A list file of `entries` entries in no order, CR LF line ends, a comment line before every
// 100th entry; no two entries overlap or touch, so that the set holds `entries` ranges (up to
// 1,048,576). Scattered: over the whole space, in every other /24, one entry in four the /24 with
// text after it ("a.b.c.0/24 ; SBL123"), the rest one address. Crowded: inside 10.0.0.0/8, at most
// one entry in a block of 8 addresses, one in four a /30, the rest one address: about 4,000
// ranges in every /16 of it.
inline std::string bench_list_text(int32_t entries, bool crowded)
{
    std::string text;
    text.reserve((size_t)entries * 28);
    char line[64];
    for (int32_t n = 0; n < entries; n++) {
        if (n % 100 == 0) text += "# block " + std::to_string(n / 100) + " of the list\r\n";
        uint32_t slot = (uint32_t)n * 2654435761u; // odd: a different slot for every entry
        bool network = n % 4 == 1;
        uint32_t a = crowded ? 0x0A000000u | (slot & 0x1FFFFFu) << 3 | !network
                             : (slot & 0x7FFFFFu) << 9 | (network ? 0 : 1 + slot % 254);
        int32_t bits = network ? (crowded ? 30 : 24) : 32;
        int length = snprintf(line, sizeof(line), "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
        if (bits < 32) snprintf(line + length, sizeof(line) - length, "/%d%s", bits, crowded ? "" : " ; SBL123");
        text += line;
        text += "\r\n";
    }
    return text;
}
