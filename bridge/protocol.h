#pragma once
// The wire format between corvanel.wfx64, in the file manager's 64-bit
// process, and its 32-bit helper process, which runs corvanel.wfx. Portable
// C++ only, no Windows types: both sides and the native fuzzers build it.
//
// A frame is a 32-bit little-endian payload length, at most kMaxPayloadBytes,
// then the payload: one message, its kind in one byte and then its fields in
// the order the kind's schema fixes. Field encodings, little-endian:
//   'i'  32-bit signed integer, 4 bytes
//   'q'  64-bit unsigned integer, 8 bytes
//   't'  optional bytes: 1 byte presence (0 absent, 1 present); when present
//        a 32-bit length, at most kMaxTextBytes, and the bytes. Carries the
//        host's 8-bit texts (no terminator; absent is a null pointer) and
//        binary records.
// Nothing may follow the last field; any other byte sequence is refused.
//
// Listing batches, the bulk of the traffic, do not travel with the messages:
// the helper writes a batch's entries into one of the two regions of a
// shared memory section that the 64-bit side created and handed it, and
// FindBatch names the region, the number of entries and their bytes. Per
// entry: the export's result (32-bit), then its find record as a 16-bit
// length, at most kFindRecordBytes, and the record's bytes up to its last
// nonzero one (the rest are zero). The 64-bit side copies a batch out of its
// region before it sends its next request, and checks the copy (CheckBatch).
// The helper reads one batch ahead, for the listing it sent the last batch
// of, into the region that batch does not lie in; a batch for another
// listing goes into the region the read-ahead does not hold.
//
// The conversation: the helper starts with Ready. Then the 64-bit side sends
// a request and reads until that request's reply arrives; in between, the
// helper may send callbacks (the host's progress, log and request callbacks,
// called by the plugin while the request runs), each answered before the
// plugin goes on, as the host's own callbacks are. While the helper waits
// for an answer, the 64-bit side may send a new request instead: the host
// called an export from inside its callback. The helper runs it there,
// nested, as the plugin would be called in the host's process, and sends its
// callbacks and reply before it goes back to waiting for the answer. Every
// message the helper sends therefore belongs to the innermost request that
// has not had its reply. Every request starts with the host thread's
// context: its locale and its last error.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bridge {

constexpr std::uint32_t kProtocolVersion = 2;
constexpr std::uint32_t kMaxPayloadBytes = 1024 * 1024;
constexpr std::uint32_t kMaxTextBytes = 32 * 1024;
constexpr std::uint32_t kMaxBatchEntries = 8192;
// A batch is closed once its entries pass this many bytes; with the largest
// entry it stays well inside kMaxPayloadBytes.
constexpr std::uint32_t kBatchBytesTarget = 512 * 1024;
// The host's WIN32_FIND_DATAA, the same 320 bytes in both editions.
constexpr std::uint32_t kFindRecordBytes = 320;
// The shared section: two regions, each room for a full batch.
constexpr std::uint32_t kBatchRegionBytes = kBatchBytesTarget + 6 + kFindRecordBytes;
constexpr std::uint32_t kBatchRegions = 2;
// The root name's buffer as far as it is carried: the plugin writes a few
// bytes, so a larger host buffer changes nothing.
constexpr std::int32_t kMaxRootNameBytes = 1024;
// The host's RemoteInfo record: two size halves, a FILETIME and Attr.
constexpr std::uint32_t kRemoteInfoBytes = 20;

// The kinds of message; each one's fields are named in bridge/messages.h.
enum class Kind : std::uint8_t {
    // Requests, module to helper: one per export.
    Init = 1,
    RootName,
    FindFirst,
    FindNext,
    FindClose,
    MkDir,
    RemoveDir,
    DeleteFile,
    RenMovFile,
    ExecuteFile,
    GetFile,
    PutFile,
    // Answers to the helper's callbacks, module to helper.
    ProgressAnswer = 32,
    LogAnswer,
    RequestAnswer,
    // Helper to module: its greeting, the replies, and the callbacks.
    Ready = 64,
    Result,
    FindResult,
    FindBatch,
    RootNameResult,
    Progress,
    Log,
    Request,
};

// Which side wrote a message: each side accepts only the other's kinds.
enum class Sender { Host, Helper };

// Bits of Init's callback mask: which of the host's callbacks are not null.
constexpr std::int32_t kHasProgress = 1;
constexpr std::int32_t kHasLog = 2;
constexpr std::int32_t kHasRequest = 4;

using Text = std::optional<std::string>;
// A text as the writable char* of the host's interface, valid and unchanged
// while `text` is; null stays null.
inline char* Writable(Text& text) { return text ? &(*text)[0] : nullptr; }

// One decoded or to-be-encoded message: its numbers ('i' and 'q') and texts,
// each in schema order. Code reads and writes a kind's fields by name through
// its struct (bridge/messages.h: Pack, As); the generic form is the wire's. On the 64-bit side a FindBatch also holds its
// entries, copied out of the shared section as they lay there, which
// FindBatchReader reads; they are not part of the message's own bytes.
struct Message {
    Kind kind{};
    std::vector<std::int64_t> numbers;
    std::vector<Text> texts;
    std::string batch;            // the entries' bytes, after the count
    std::uint32_t batchEntries = 0;

    explicit Message(Kind k = Kind::Ready) : kind(k) {}
    Message& Add(std::int64_t number) {
        numbers.push_back(number);
        return *this;
    }
    Message& Add(Text text) {
        texts.push_back(std::move(text));
        return *this;
    }
    std::int32_t Int(std::size_t at) const { return static_cast<std::int32_t>(numbers.at(at)); }
    std::uint64_t U64(std::size_t at) const { return static_cast<std::uint64_t>(numbers.at(at)); }
    const Text& TextAt(std::size_t at) const { return texts.at(at); }
    bool operator==(const Message& other) const {
        return kind == other.kind && numbers == other.numbers && texts == other.texts &&
               batch == other.batch && batchEntries == other.batchEntries;
    }
};

// The field codes of a kind ("iit"), or null for an unknown kind.
const char* Schema(Kind kind);
// Who sends a kind.
bool SentBy(Kind kind, Sender sender);
// The reply that ends a request; Result for every request without a reply of its own.
Kind ReplyTo(Kind request);
// The answer that a callback waits for.
Kind AnswerTo(Kind callback);
bool IsCallback(Kind kind);
// Whether the 64-bit side sends a kind as a request of its own.
bool IsRequest(Kind kind);

// What the 64-bit side does with a message the helper sent while `request`
// runs: a callback is answered and the wait goes on, the request's reply
// ends it, and anything else breaks the conversation.
enum class Next { Callback, Reply, Fault };
Next Classify(Kind request, Kind received);
// Whether a message from the 64-bit side is the answer that `callback` waits
// for; in its place only a request may come (one nested inside the host's
// callback), and anything else breaks the conversation.
bool Answers(Kind callback, Kind received);

// The payload of a message. Throws std::invalid_argument when the message
// does not match its schema or a field exceeds its bound (a programming
// fault, never the peer's input).
std::string Encode(const Message& message);
// A frame: the length prefix and the payload.
std::string Frame(const Message& message);

// Decodes one payload written by `from`. False, with *out unspecified, when
// the bytes are not exactly one well-formed message of a kind `from` sends.
bool Decode(const std::uint8_t* data, std::size_t size, Sender from, Message* out);

// The payload length announced by a frame's 4-byte prefix; false when it
// exceeds kMaxPayloadBytes or is 0.
bool PayloadLength(const std::uint8_t prefix[4], std::uint32_t* length);

// The frames of one side's byte stream, as its reads deliver the bytes in
// pieces of any size: a frame cut between two reads waits for the rest, and
// one read may bring several.
class FrameBuffer {
public:
    void Append(const char* bytes, std::size_t size) { bytes_.append(bytes, size); }
    void Clear() { bytes_.clear(); }

    enum class Take { Frame, Incomplete, Fault };
    // The payload of the first whole frame, taken off the front. Incomplete
    // while its bytes have not all arrived; Fault when its length prefix is
    // out of bounds (the stream is then unusable).
    Take Next(std::string* payload);

private:
    std::string bytes_;  // arrived, not yet taken
};

// Writes listing entries, each the export's result and the find record it
// wrote, into a region of the shared section, as FindBatch carries them.
class BatchWriter {
public:
    BatchWriter(char* region, std::size_t size) : start_(region), at_(region), end_(region + size) {}
    // False, writing nothing, when the entry does not fit what is left.
    bool Append(std::int32_t result, const void* record, std::size_t size);
    std::size_t Bytes() const { return static_cast<std::size_t>(at_ - start_); }
    std::uint32_t Entries() const { return entries_; }

private:
    char* start_;
    char* at_;
    char* end_;
    std::uint32_t entries_ = 0;
};

// True when `entries` entries fill exactly the bytes of `batch`, each record
// within its bound: a batch copied out of the shared section is checked so
// before it is read.
bool CheckBatch(const std::string& batch, std::uint32_t entries);

// Reads a checked batch's entries in order.
class FindBatchReader {
public:
    explicit FindBatchReader(const Message& batch) : batch_(&batch.batch) {}
    FindBatchReader() = default;
    bool AtEnd() const { return batch_ == nullptr || at_ >= batch_->size(); }
    // The next entry's result and record, the record's trailing bytes zeroed.
    // False at the end, or when the entry does not fit `size`.
    bool Next(std::int32_t* result, void* record, std::size_t size);

private:
    const std::string* batch_ = nullptr;
    std::size_t at_ = 0;
};

// A find record with its trailing zero bytes left off, and back: the
// record's exact bytes, whatever the plugin wrote into it.
std::string TrimRecord(const void* record, std::size_t size);
// False when the text is longer than `size`; the rest of `record` is zeroed.
bool UntrimRecord(const std::string& trimmed, void* record, std::size_t size);

}  // namespace bridge
