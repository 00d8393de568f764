#include "bridge/protocol.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "bridge/messages.h"

namespace bridge {

namespace {

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void PutU64(std::string& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void PutText(std::string& out, const Text& text) {
    if (!text) {
        out.push_back(0);
        return;
    }
    if (text->size() > kMaxTextBytes) throw std::invalid_argument("text over its bound");
    out.push_back(1);
    PutU32(out, static_cast<std::uint32_t>(text->size()));
    out += *text;
}

void PutInt(std::string& out, std::int64_t value) {
    // A 32-bit field carries signed values and unsigned ones (LCID, last error).
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("number over 32 bits");
    }
    PutU32(out, static_cast<std::uint32_t>(value));
}

// Reads fields from a payload; every read is checked against the end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}

    bool U8(std::uint8_t* value) {
        if (end_ - at_ < 1) return false;
        *value = *at_++;
        return true;
    }
    bool U16(std::uint32_t* value) {
        if (end_ - at_ < 2) return false;
        *value = static_cast<std::uint32_t>(at_[0]) | static_cast<std::uint32_t>(at_[1]) << 8;
        at_ += 2;
        return true;
    }
    bool U32(std::uint32_t* value) {
        if (end_ - at_ < 4) return false;
        *value = 0;
        for (int i = 3; i >= 0; --i) *value = *value << 8 | at_[i];
        at_ += 4;
        return true;
    }
    bool U64(std::uint64_t* value) {
        if (end_ - at_ < 8) return false;
        *value = 0;
        for (int i = 7; i >= 0; --i) *value = *value << 8 | at_[i];
        at_ += 8;
        return true;
    }
    bool Bytes(std::uint32_t length, std::string* bytes) {
        if (static_cast<std::size_t>(end_ - at_) < length) return false;
        bytes->assign(reinterpret_cast<const char*>(at_), length);
        at_ += length;
        return true;
    }
    bool TextField(std::uint32_t bound, Text* text) {
        std::uint8_t presence = 0;
        if (!U8(&presence) || presence > 1) return false;
        if (presence == 0) {
            text->reset();
            return true;
        }
        std::uint32_t length = 0;
        if (!U32(&length) || length > bound) return false;
        text->emplace();
        return Bytes(length, &**text);
    }
    bool Skip(std::uint32_t length) {
        if (static_cast<std::size_t>(end_ - at_) < length) return false;
        at_ += length;
        return true;
    }
    bool AtEnd() const { return at_ == end_; }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

}  // namespace

const char* Schema(Kind kind) {
    switch (kind) {
#define CORVANEL_IGNORE(type, name)
#define CORVANEL_SCHEMA(Name, kind, fields) \
    case Kind::kind: return SchemaOf<msg::Name>();
        CORVANEL_MESSAGES(CORVANEL_SCHEMA, CORVANEL_IGNORE)
#undef CORVANEL_IGNORE
#undef CORVANEL_SCHEMA
    }
    return nullptr;
}

bool SentBy(Kind kind, Sender sender) {
    return Schema(kind) != nullptr && (kind >= Kind::Ready) == (sender == Sender::Helper);
}

Kind ReplyTo(Kind request) {
    switch (request) {
    case Kind::FindFirst: return Kind::FindResult;
    case Kind::FindNext: return Kind::FindBatch;
    case Kind::RootName: return Kind::RootNameResult;
    default: return Kind::Result;
    }
}

Kind AnswerTo(Kind callback) {
    switch (callback) {
    case Kind::Progress: return Kind::ProgressAnswer;
    case Kind::Log: return Kind::LogAnswer;
    default: return Kind::RequestAnswer;
    }
}

bool IsCallback(Kind kind) {
    return kind == Kind::Progress || kind == Kind::Log || kind == Kind::Request;
}

bool IsRequest(Kind kind) { return Schema(kind) != nullptr && kind < Kind::ProgressAnswer; }

Next Classify(Kind request, Kind received) {
    if (!IsRequest(request)) return Next::Fault;
    if (IsCallback(received)) return Next::Callback;
    return received == ReplyTo(request) ? Next::Reply : Next::Fault;
}

bool Answers(Kind callback, Kind received) {
    return IsCallback(callback) && received == AnswerTo(callback);
}

namespace {

// Appends the message's payload to `out`.
void EncodeInto(const Message& message, std::string& out) {
    const std::size_t start = out.size();
    const char* schema = Schema(message.kind);
    if (schema == nullptr) throw std::invalid_argument("unknown message kind");
    out.push_back(static_cast<char>(message.kind));
    std::size_t number = 0, text = 0;
    // A field the message lacks is the same fault as one too many.
    const auto nextNumber = [&]() {
        if (number == message.numbers.size()) throw std::invalid_argument("fields do not match the schema");
        return message.numbers[number++];
    };
    const auto nextText = [&]() -> const Text& {
        if (text == message.texts.size()) throw std::invalid_argument("fields do not match the schema");
        return message.texts[text++];
    };
    for (const char* field = schema; *field != '\0'; ++field) {
        switch (*field) {
        case 'i': PutInt(out, nextNumber()); break;
        case 'q': PutU64(out, static_cast<std::uint64_t>(nextNumber())); break;
        case 't': PutText(out, nextText()); break;
        }
    }
    if (number != message.numbers.size() || text != message.texts.size()) {
        throw std::invalid_argument("fields do not match the schema");
    }
    if (out.size() - start > kMaxPayloadBytes) throw std::invalid_argument("message over its bound");
}

}  // namespace

std::string Encode(const Message& message) {
    std::string out;
    EncodeInto(message, out);
    return out;
}

std::string Frame(const Message& message) {
    std::string frame(4, '\0');
    EncodeInto(message, frame);
    const std::uint32_t length = static_cast<std::uint32_t>(frame.size() - 4);
    for (int at = 0; at < 4; ++at) frame[at] = static_cast<char>(length >> (8 * at));
    return frame;
}

bool Decode(const std::uint8_t* data, std::size_t size, Sender from, Message* out) {
    if (data == nullptr || size == 0 || size > kMaxPayloadBytes) return false;
    Reader reader(data, size);
    std::uint8_t kindByte = 0;
    reader.U8(&kindByte);
    const Kind kind = static_cast<Kind>(kindByte);
    if (!SentBy(kind, from)) return false;
    *out = Message(kind);
    for (const char* field = Schema(kind); *field != '\0'; ++field) {
        bool read = false;
        switch (*field) {
        case 'i': {
            std::uint32_t value = 0;
            read = reader.U32(&value);
            out->numbers.push_back(static_cast<std::int32_t>(value));
            break;
        }
        case 'q': {
            std::uint64_t value = 0;
            read = reader.U64(&value);
            out->numbers.push_back(static_cast<std::int64_t>(value));
            break;
        }
        case 't':
            out->texts.emplace_back();
            read = reader.TextField(kMaxTextBytes, &out->texts.back());
            break;
        }
        if (!read) return false;
    }
    return reader.AtEnd();
}

bool PayloadLength(const std::uint8_t prefix[4], std::uint32_t* length) {
    *length = static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
              static_cast<std::uint32_t>(prefix[2]) << 16 |
              static_cast<std::uint32_t>(prefix[3]) << 24;
    return *length != 0 && *length <= kMaxPayloadBytes;
}

FrameBuffer::Take FrameBuffer::Next(std::string* payload) {
    constexpr std::size_t kPrefixBytes = 4;
    if (bytes_.size() < kPrefixBytes) return Take::Incomplete;
    std::uint32_t length = 0;
    if (!PayloadLength(reinterpret_cast<const std::uint8_t*>(bytes_.data()), &length)) return Take::Fault;
    if (bytes_.size() - kPrefixBytes < length) return Take::Incomplete;
    payload->assign(bytes_, kPrefixBytes, length);
    bytes_.erase(0, kPrefixBytes + length);
    return Take::Frame;
}

namespace {

// The length of `bytes` without its trailing zero bytes. Steps over whole
// words first: a find record is mostly zeros after its name.
std::size_t TrimmedLength(const char* bytes, std::size_t size) {
    std::uint64_t word = 0;
    while (size >= sizeof(word)) {
        std::memcpy(&word, bytes + size - sizeof(word), sizeof(word));
        if (word != 0) break;
        size -= sizeof(word);
    }
    while (size > 0 && bytes[size - 1] == '\0') --size;
    return size;
}

}  // namespace

bool BatchWriter::Append(std::int32_t result, const void* record, std::size_t size) {
    const char* bytes = static_cast<const char*>(record);
    size = size == 0 ? 0 : TrimmedLength(bytes, size);
    if (size > kFindRecordBytes || static_cast<std::size_t>(end_ - at_) < 6 + size) return false;
    // Straight into the region: this runs once per listing entry.
    const std::uint8_t header[6] = {
        static_cast<std::uint8_t>(result),       static_cast<std::uint8_t>(result >> 8),
        static_cast<std::uint8_t>(result >> 16), static_cast<std::uint8_t>(result >> 24),
        static_cast<std::uint8_t>(size),         static_cast<std::uint8_t>(size >> 8)};
    std::memcpy(at_, header, sizeof(header));
    if (size != 0) std::memcpy(at_ + sizeof(header), bytes, size);
    at_ += sizeof(header) + size;
    ++entries_;
    return true;
}

bool CheckBatch(const std::string& batch, std::uint32_t entries) {
    if (entries > kMaxBatchEntries) return false;
    Reader reader(reinterpret_cast<const std::uint8_t*>(batch.data()), batch.size());
    for (std::uint32_t entry = 0; entry < entries; ++entry) {
        std::uint32_t result = 0, length = 0;
        if (!reader.U32(&result) || !reader.U16(&length) || length > kFindRecordBytes ||
            !reader.Skip(length)) {
            return false;
        }
    }
    return reader.AtEnd();
}

bool FindBatchReader::Next(std::int32_t* result, void* record, std::size_t size) {
    if (AtEnd()) return false;
    Reader reader(reinterpret_cast<const std::uint8_t*>(batch_->data()) + at_, batch_->size() - at_);
    std::uint32_t value = 0, length = 0;
    if (!reader.U32(&value) || !reader.U16(&length) || length > size ||
        batch_->size() - at_ - 6 < length) {
        return false;
    }
    *result = static_cast<std::int32_t>(value);
    std::memcpy(record, batch_->data() + at_ + 6, length);
    std::memset(static_cast<char*>(record) + length, 0, size - length);
    at_ += 6 + length;
    return true;
}

std::string TrimRecord(const void* record, std::size_t size) {
    const char* bytes = static_cast<const char*>(record);
    return std::string(bytes, TrimmedLength(bytes, size));
}

bool UntrimRecord(const std::string& trimmed, void* record, std::size_t size) {
    if (trimmed.size() > size) return false;
    std::memcpy(record, trimmed.data(), trimmed.size());
    std::memset(static_cast<char*>(record) + trimmed.size(), 0, size - trimmed.size());
    return true;
}

}  // namespace bridge
