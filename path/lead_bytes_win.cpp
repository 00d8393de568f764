#include "path/lead_bytes.h"

#include <windows.h>

#include <cstring>

LeadByteRanges ThreadCodePageLeadBytes() {
    LeadByteRanges result{};
    CPINFO info{};
    // Without an answer the code page is treated as single-byte: every 0x5C
    // is then a backslash, which is what a single-byte page means anyway.
    if (GetCPInfo(CP_THREAD_ACP, &info)) {
        static_assert(sizeof(result.ranges) == MAX_LEADBYTES, "CPINFO layout");
        std::memcpy(result.ranges, info.LeadByte, sizeof(result.ranges));
    }
    return result;
}
