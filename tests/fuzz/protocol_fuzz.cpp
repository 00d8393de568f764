// Native libFuzzer target for the bridge's wire format, built with
// AddressSanitizer and UndefinedBehaviorSanitizer. The first input byte picks
// what the rest is. Bit 1 set: a listing batch as the 64-bit side copies it
// out of the shared section, its entry count in the next four bytes. Else bit
// 0 picks the side whose messages are decoded (clear: the 64-bit side's,
// which the helper reads; set: the helper's, which the 64-bit side reads) and
// the rest is one payload; bytes 1-4 are also read as a frame's length prefix.
//
// Every payload that decodes must encode back to exactly its bytes, must be
// refused from the other side and with a byte more or less, and each of its
// texts must go into a find record in bounds or be refused untouched. Every
// batch that passes its check must read back entry by entry into the host's
// record, and written again must read back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/protocol.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool DecodeBytes(const std::string& bytes, bridge::Sender from, bridge::Message* out) {
    return bridge::Decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), from,
                          out);
}

// A heap buffer of exactly four bytes, so the sanitizer sees a read past it.
void CheckLengthPrefix(const std::uint8_t* bytes) {
    auto* prefix = static_cast<std::uint8_t*>(std::malloc(4));
    std::memcpy(prefix, bytes, 4);
    std::uint32_t length = 0xDEADBEEF;
    if (bridge::PayloadLength(prefix, &length)) {
        Check(length >= 1 && length <= bridge::kMaxPayloadBytes);
    }
    std::free(prefix);
}

// A record buffer of exactly the host's size on the heap, filled with a
// pattern: a text that fits becomes the record and trims back to itself
// without its trailing zeros; one that does not is refused with the buffer
// untouched.
void CheckUntrim(const bridge::Text& text) {
    if (!text) return;
    constexpr std::size_t size = bridge::kFindRecordBytes;
    char* record = static_cast<char*>(std::malloc(size));
    std::memset(record, 0x5A, size);
    const bool fits = bridge::UntrimRecord(*text, record, size);
    Check(fits == (text->size() <= size));
    if (fits) {
        std::string expected = *text;
        while (!expected.empty() && expected.back() == '\0') expected.pop_back();
        Check(bridge::TrimRecord(record, size) == expected);
    } else {
        for (std::size_t i = 0; i < size; ++i) Check(record[i] == 0x5A);
    }
    std::free(record);
}

// A batch that passes CheckBatch reads as exactly its entries, each into a
// heap record of the host's size; the writer, given those records, makes a
// batch that reads back the same records.
void CheckBatchBytes(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return;
    const std::uint32_t entries = static_cast<std::uint32_t>(data[0]) | data[1] << 8 |
                                  data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    bridge::Message batch(bridge::Kind::FindBatch);
    batch.batch.assign(reinterpret_cast<const char*>(data + 4), size - 4);
    batch.batchEntries = entries;
    if (!bridge::CheckBatch(batch.batch, entries)) return;
    constexpr std::size_t recordSize = bridge::kFindRecordBytes;
    std::string rewritten(batch.batch.size() + 1, '\0');
    bridge::BatchWriter writer(&rewritten[0], rewritten.size());
    std::vector<std::string> records;
    bridge::FindBatchReader reader(batch);
    char* record = static_cast<char*>(std::malloc(recordSize));
    std::int32_t result = 0;
    for (std::uint32_t entry = 0; entry < entries; ++entry) {
        Check(reader.Next(&result, record, recordSize));
        records.emplace_back(record, recordSize);
        Check(writer.Append(result, record, recordSize));  // trimmed: never longer
    }
    Check(reader.AtEnd() && !reader.Next(&result, record, recordSize));
    bridge::Message again(bridge::Kind::FindBatch);
    again.batch = rewritten.substr(0, writer.Bytes());
    again.batchEntries = writer.Entries();
    Check(bridge::CheckBatch(again.batch, again.batchEntries));
    bridge::FindBatchReader rereader(again);
    for (const std::string& expected : records) {
        Check(rereader.Next(&result, record, recordSize));
        Check(std::memcmp(expected.data(), record, recordSize) == 0);
    }
    std::free(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 2) {
        CheckBatchBytes(data + 1, size - 1);
        return 0;
    }
    const bridge::Sender from = (data[0] & 1) ? bridge::Sender::Helper : bridge::Sender::Host;
    const bridge::Sender other = from == bridge::Sender::Host ? bridge::Sender::Helper
                                                              : bridge::Sender::Host;
    if (size >= 5) CheckLengthPrefix(data + 1);

    // The payload is read where libFuzzer put it: its end is the input's end,
    // so a read past it is caught.
    bridge::Message message;
    if (!bridge::Decode(data + 1, size - 1, from, &message)) return 0;
    const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string encoded, frame;
    try {
        encoded = bridge::Encode(message);
        frame = bridge::Frame(message);
    } catch (const std::invalid_argument&) {
        std::abort();  // a message the decoder accepted that the encoder cannot write
    }
    Check(encoded == payload);
    Check(frame.size() == 4 + payload.size() && frame.compare(4, std::string::npos, payload) == 0);
    std::uint32_t length = 0;
    Check(bridge::PayloadLength(reinterpret_cast<const std::uint8_t*>(frame.data()), &length));
    Check(length == payload.size());

    bridge::Message again;
    Check(!DecodeBytes(payload, other, &again));
    Check(!DecodeBytes(payload.substr(0, payload.size() - 1), from, &again));
    Check(!DecodeBytes(payload + '\0', from, &again));

    for (const bridge::Text& text : message.texts) CheckUntrim(text);
    return 0;
}
