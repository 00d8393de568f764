// Writes the protocol fuzzer's seeds: one valid message of every kind, each
// field filled by its code, prefixed with the fuzzer's sender byte, and two
// listing batches. Built and
// run by `tools/fuzz.sh --target protocol --write-seeds DIR`.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bridge/protocol.h"

namespace {

// Small fields, or texts at their bounds' edge: longer than a find record.
bridge::Message Sample(bridge::Kind kind, const char* schema, bool large) {
    const std::string path = large ? std::string(400, 'p') : "\\acct\\bucket\\key.txt";
    bridge::Message message(kind);
    int field = 0;
    for (const char* code = schema; *code != '\0'; ++code, ++field) {
        switch (*code) {
        case 'i': message.Add(field == 0 ? 0x0411 : -field); break;
        case 'q': message.Add(std::int64_t{0x1122334455667788}); break;
        case 't': message.Add(field % 2 || large ? bridge::Text(path) : std::nullopt); break;
        }
    }
    return message;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (int value = 0; value < 256; ++value) {
        const auto kind = static_cast<bridge::Kind>(value);
        const char* schema = bridge::Schema(kind);
        if (schema == nullptr) continue;
        const bool helper = bridge::SentBy(kind, bridge::Sender::Helper);
        for (const bool large : {false, true}) {
            if (large && std::strchr(schema, 't') == nullptr) continue;  // nothing grows
            const std::string name = (large ? "/large-" : "/kind-") + std::to_string(value);
            std::ofstream(argv[1] + name, std::ios::binary)
                << static_cast<char>(helper ? 1 : 0) << bridge::Encode(Sample(kind, schema, large));
        }
    }
    // Listing batches (first byte 2): the entry count, then the entries; a
    // small one and one of full records.
    for (const bool large : {false, true}) {
        std::string region(4096, '\0');
        bridge::BatchWriter writer(&region[0], region.size());
        char record[bridge::kFindRecordBytes] = {0x10};
        std::memcpy(record + 44, "name.txt", 8);
        if (large) std::memset(record, 'r', sizeof(record));
        for (int entry = 0; entry < 3; ++entry) writer.Append(1, record, sizeof(record));
        writer.Append(0, record, 0);
        const std::uint32_t entries = writer.Entries();
        std::ofstream(std::string(argv[1]) + (large ? "/large-batch" : "/batch"), std::ios::binary)
            << '\2' << static_cast<char>(entries) << '\0' << '\0' << '\0'
            << region.substr(0, writer.Bytes());
    }
    return 0;
}
