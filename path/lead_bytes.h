#pragma once
// The path parser's one question to the platform: which byte values start a
// double-byte character in the calling thread's ANSI code page. Kept apart so
// the parser can be built without Windows (the fuzzer supplies its own table).

// Lead-byte ranges as the platform reports them: inclusive pairs
// [first, last], ended by a pair of zeros. Single-byte code pages have none.
struct LeadByteRanges {
    unsigned char ranges[12];

    bool IsLeadByte(unsigned char c) const {
        for (int i = 0; i + 1 < 12 && ranges[i] != 0; i += 2) {
            if (c >= ranges[i] && c <= ranges[i + 1]) return true;
        }
        return false;
    }
};

// The ranges of the calling thread's ANSI code page (CP_THREAD_ACP).
LeadByteRanges ThreadCodePageLeadBytes();
