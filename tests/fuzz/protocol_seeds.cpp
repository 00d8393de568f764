// Writes the protocol fuzzer's seeds: one valid message of every kind, each
// field filled by its code, prefixed with the fuzzer's sender byte. Built and
// run by `tools/fuzz.sh --target protocol --write-seeds DIR`.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bridge/protocol.h"

namespace {

// Small fields, or ones at their bounds' edges: texts longer than a find
// record, full find records and a batch at its most entries.
bridge::Message Sample(bridge::Kind kind, const char* schema, bool large) {
    const std::string path = large ? std::string(400, 'p') : "\\acct\\bucket\\key.txt";
    const std::string record = large ? std::string(bridge::kFindRecordBytes, 'r')
                                     : std::string("\x10\0\0\0", 4) + "name.txt";
    bridge::Message message(kind);
    int field = 0;
    for (const char* code = schema; *code != '\0'; ++code, ++field) {
        switch (*code) {
        case 'i': message.Add(field == 0 ? 0x0411 : -field); break;
        case 'q': message.Add(std::int64_t{0x1122334455667788}); break;
        case 't': message.Add(field % 2 || large ? bridge::Text(path) : std::nullopt); break;
        case 'b':
            message.batch.push_back({1, record});
            message.batch.push_back({1, std::nullopt});
            while (large && message.batch.size() + 1 < bridge::kMaxBatchEntries) {
                message.batch.push_back({1, std::nullopt});
            }
            message.batch.push_back({0, std::string()});
            break;
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
            if (large && std::strpbrk(schema, "tb") == nullptr) continue;  // nothing grows
            const std::string name = (large ? "/large-" : "/kind-") + std::to_string(value);
            std::ofstream(argv[1] + name, std::ios::binary)
                << static_cast<char>(helper ? 1 : 0) << bridge::Encode(Sample(kind, schema, large));
        }
    }
    return 0;
}
