// The bridge's wire format as each side's decoder meets it: cut, oversized,
// misaddressed and malformed messages refused, and messages out of their turn
// in the conversation refused by the rules both sides follow.
#include "bridge/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bridge::Kind;
using bridge::Message;
using bridge::Next;
using bridge::Sender;
using bridge::Text;

bool Decodes(const std::string& payload, Sender from, Message* out = nullptr) {
    Message ignored;
    return bridge::Decode(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(),
                          from, out != nullptr ? out : &ignored);
}

std::string U32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
    return bytes;
}

// A text field as the format lays it out: presence, length, bytes.
std::string TextField(const std::string& text) { return '\1' + U32(text.size()) + text; }

// A request's context: the locale and the last error.
std::string Context() { return U32(0x0411) + U32(18); }

// A batch's entries as they lie in the shared section: `count` entries, each
// the result 1 and the given record bytes.
std::string Batch(std::uint32_t count, const std::string& record) {
    const std::string entry = U32(1) + static_cast<char>(record.size()) +
                              static_cast<char>(record.size() >> 8) + record;
    std::string bytes;
    for (std::uint32_t i = 0; i < count; ++i) bytes += entry;
    return bytes;
}

struct Sample {
    const char* name;
    Sender from;
    Message message;
};

// One message of each shape of field: texts present and absent, a 64-bit
// handle, a batch's place, an answer and a callback.
std::vector<Sample> Samples() {
    return {
        {"Init", Sender::Host, Message(Kind::Init).Add(0x0411).Add(0).Add(3).Add(7)},
        {"FindFirst", Sender::Host,
         Message(Kind::FindFirst).Add(0x0411).Add(0).Add(Text("\\acct\\b")).Add(std::nullopt)},
        {"FindClose", Sender::Host,
         Message(Kind::FindClose).Add(0x0411).Add(0).Add(std::int64_t{0x0123456789ABCDEF})},
        {"RenMovFile", Sender::Host,
         Message(Kind::RenMovFile).Add(9).Add(0).Add(Text("\\a\\b\\x")).Add(Text("\\a\\c\\x")).Add(1).Add(0)
             .Add(Text(std::string(bridge::kRemoteInfoBytes, '\7')))},
        {"RequestAnswer", Sender::Host, Message(Kind::RequestAnswer).Add(1).Add(Text("typed"))},
        {"LogAnswer", Sender::Host, Message(Kind::LogAnswer)},
        {"FindResult", Sender::Helper,
         Message(Kind::FindResult).Add(1).Add(0).Add(Text(std::string(bridge::kFindRecordBytes, 'r')))},
        {"FindBatch", Sender::Helper, Message(Kind::FindBatch).Add(1).Add(3).Add(40)},
        {"Progress", Sender::Helper,
         Message(Kind::Progress).Add(7).Add(Text("\\a\\b\\x")).Add(Text("")).Add(50)},
        {"RootNameResult", Sender::Helper, Message(Kind::RootNameResult).Add(Text(std::string("Corvanel\0", 9)))},
    };
}

// Every sample decodes back to itself from its sender; any cut of it is
// refused, down to the kind byte alone and nothing at all.
TEST(ProtocolDecode, RefusesEveryTruncatedMessage) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.name);
        const std::string payload = bridge::Encode(sample.message);
        Message decoded;
        ASSERT_TRUE(Decodes(payload, sample.from, &decoded));
        EXPECT_EQ(sample.message, decoded);
        for (std::size_t length = 0; length < payload.size(); ++length) {
            EXPECT_FALSE(Decodes(payload.substr(0, length), sample.from)) << length << " bytes";
        }
    }
}

// Each bound admits its limit and refuses one more.
TEST(ProtocolDecode, RefusesWhatExceedsABound) {
    const std::string mkDir = std::string(1, static_cast<char>(Kind::MkDir)) + Context();
    struct Case {
        const char* what;
        std::string payload;
        bool accepted;
    };
    const Case cases[] = {
        {"text at its bound", mkDir + TextField(std::string(bridge::kMaxTextBytes, 'x')), true},
        {"text over its bound", mkDir + TextField(std::string(bridge::kMaxTextBytes + 1, 'x')), false},
        {"text whose length runs past the payload", mkDir + '\1' + U32(0xFFFFFFFF) + "abc", false},
        {"trailing byte", mkDir + TextField("\\a") + '\0', false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.accepted, Decodes(c.payload, Sender::Host));
    }
}

// A batch copied out of the shared section is read only when its entries
// fill its bytes exactly, each record within the host's record.
TEST(ProtocolBatch, RefusesWhatExceedsABoundOrDoesNotAddUp) {
    const std::string okRecord(bridge::kFindRecordBytes, 'r');
    struct Case {
        const char* what;
        std::string bytes;
        std::uint32_t entries;
        bool accepted;
    };
    const Case cases[] = {
        {"batch at its bound", Batch(bridge::kMaxBatchEntries, ""), bridge::kMaxBatchEntries, true},
        {"batch over its bound", Batch(bridge::kMaxBatchEntries + 1, ""), bridge::kMaxBatchEntries + 1, false},
        {"find record at its bound", Batch(1, okRecord), 1, true},
        {"find record over its bound", Batch(1, okRecord + 'r'), 1, false},
        {"fewer entries than announced", Batch(2, "a"), 3, false},
        {"trailing bytes", Batch(2, "a") + U32(0), 2, false},
        {"an entry cut short", Batch(2, "abc").substr(0, 17), 2, false},
        {"empty", "", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.accepted, bridge::CheckBatch(c.bytes, c.entries));
    }
}

// What the writer puts into a region the reader gives back byte for byte,
// zeros after each record's last nonzero byte included, and neither goes
// past its buffer.
TEST(ProtocolBatch, WrittenEntriesReadBackWhole) {
    char records[3][bridge::kFindRecordBytes] = {};
    records[0][0] = 0x10;
    std::memcpy(records[0] + 44, "a.txt", 5);
    std::memset(records[1], 0x7F, sizeof(records[1]));  // nothing to trim
    std::string region(2 * (6 + bridge::kFindRecordBytes) + 6, '\xEE');
    bridge::BatchWriter writer(&region[0], region.size());
    ASSERT_TRUE(writer.Append(1, records[0], sizeof(records[0])));
    ASSERT_TRUE(writer.Append(1, records[1], sizeof(records[1])));
    ASSERT_TRUE(writer.Append(0, records[2], sizeof(records[2])));  // all zeros: 6 bytes
    EXPECT_FALSE(writer.Append(1, records[1], sizeof(records[1]))) << "over the region's end";
    EXPECT_EQ(3u, writer.Entries());

    Message batch(Kind::FindBatch);
    batch.batch = region.substr(0, writer.Bytes());
    batch.batchEntries = writer.Entries();
    ASSERT_TRUE(bridge::CheckBatch(batch.batch, batch.batchEntries));
    bridge::FindBatchReader reader(batch);
    for (int at = 0; at < 3; ++at) {
        SCOPED_TRACE(at);
        char read[bridge::kFindRecordBytes];
        std::memset(read, 0x55, sizeof(read));
        std::int32_t result = -1;
        ASSERT_TRUE(reader.Next(&result, read, sizeof(read)));
        EXPECT_EQ(at == 2 ? 0 : 1, result);
        EXPECT_EQ(0, std::memcmp(records[at], read, sizeof(read)));
    }
    EXPECT_TRUE(reader.AtEnd());
    char small[8];
    std::int32_t result = -1;
    bridge::FindBatchReader again(batch);
    EXPECT_FALSE(again.Next(&result, small, sizeof(small))) << "a record larger than the buffer";
}

TEST(ProtocolFrame, RefusesALengthPrefixOverTheBoundOrZero) {
    struct Case {
        std::uint32_t announced;
        bool accepted;
    };
    const Case cases[] = {{1, true},       {bridge::kMaxPayloadBytes, true},
                          {0, false},      {bridge::kMaxPayloadBytes + 1, false},
                          {0x80000000, false}, {0xFFFFFFFF, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        const std::string prefix = U32(c.announced);
        std::uint32_t length = 0;
        EXPECT_EQ(c.accepted, bridge::PayloadLength(
                                  reinterpret_cast<const std::uint8_t*>(prefix.data()), &length));
        if (c.accepted) {
            EXPECT_EQ(c.announced, length);
        }
    }
    // A frame announces its own payload.
    const std::string frame = bridge::Frame(Message(Kind::Result).Add(1).Add(0));
    std::uint32_t length = 0;
    ASSERT_TRUE(bridge::PayloadLength(reinterpret_cast<const std::uint8_t*>(frame.data()), &length));
    EXPECT_EQ(frame.size() - 4, length);
}

// Each side's reader cuts its ring's bytes into frames, whatever pieces its
// reads return: one frame split over many reads, many in one read.
TEST(ProtocolFrame, BufferTakesWholeFramesHoweverTheBytesArrive) {
    const std::vector<std::string> payloads = {
        bridge::Encode(Message(Kind::Result).Add(1).Add(0)),
        bridge::Encode(Message(Kind::RenMovFile).Add(9).Add(0)
                           .Add(Text(std::string(bridge::kMaxTextBytes, 'a')))
                           .Add(Text(std::string(bridge::kMaxTextBytes, 'b'))).Add(1).Add(0)
                           .Add(std::nullopt)),
        bridge::Encode(Message(Kind::LogAnswer))};
    std::string stream;
    for (const std::string& payload : payloads) stream += U32(payload.size()) + payload;
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4093}, stream.size()}) {
        SCOPED_TRACE(piece);
        bridge::FrameBuffer frames;
        std::vector<std::string> taken;
        std::string payload;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            frames.Append(stream.data() + at, std::min(piece, stream.size() - at));
            bridge::FrameBuffer::Take result;
            while ((result = frames.Next(&payload)) == bridge::FrameBuffer::Take::Frame) {
                taken.push_back(payload);
            }
            ASSERT_EQ(bridge::FrameBuffer::Take::Incomplete, result);
        }
        EXPECT_EQ(payloads, taken);
    }
    // A length prefix out of bounds spoils the stream, whole or not.
    for (std::uint32_t announced : {0u, bridge::kMaxPayloadBytes + 1}) {
        SCOPED_TRACE(announced);
        bridge::FrameBuffer frames;
        const std::string bad = U32(announced) + "xy";
        frames.Append(bad.data(), bad.size());
        std::string payload;
        EXPECT_EQ(bridge::FrameBuffer::Take::Fault, frames.Next(&payload));
    }
}

// The writing side never sends what the reading side would refuse.
TEST(ProtocolEncode, ThrowsRatherThanWriteOverABound) {
    Message longText = Message(Kind::MkDir).Add(0).Add(0).Add(Text(std::string(bridge::kMaxTextBytes + 1, 'x')));
    Message missingNumber = Message(Kind::Result).Add(1);
    Message missingText = Message(Kind::MkDir).Add(0).Add(0);
    Message extraText = Message(Kind::Result).Add(1).Add(0).Add(Text("x"));
    Message wideNumber = Message(Kind::Result).Add(std::int64_t{1} << 32).Add(0);
    for (const Message* message : {&longText, &missingNumber, &missingText, &extraText, &wideNumber}) {
        SCOPED_TRACE(static_cast<int>(message->kind));
        EXPECT_THROW(bridge::Encode(*message), std::invalid_argument);
    }
}

// Each side reads only the other's kinds, and no kind outside the set.
TEST(ProtocolDecode, RefusesTheWrongSendersKindsAndUnknownKinds) {
    for (const Sample& sample : Samples()) {
        SCOPED_TRACE(sample.name);
        const Sender other = sample.from == Sender::Host ? Sender::Helper : Sender::Host;
        EXPECT_FALSE(Decodes(bridge::Encode(sample.message), other));
    }
    // Bodies that would fit a known kind: none, two numbers, a context and a text.
    const std::string bodies[] = {"", U32(0) + U32(0), Context() + TextField("\\a")};
    for (const int kind : {0, 13, 31, 35, 63, 72, 128, 255}) {
        for (const std::string& body : bodies) {
            SCOPED_TRACE(kind);
            const std::string payload = static_cast<char>(kind) + body;
            EXPECT_FALSE(Decodes(payload, Sender::Host));
            EXPECT_FALSE(Decodes(payload, Sender::Helper));
        }
    }
}

// A presence byte is 0 or 1: whatever else it holds is refused, even with a
// well-formed text behind it.
TEST(ProtocolDecode, RefusesPresenceBytesOtherThanZeroOrOne) {
    const std::string text = bridge::Encode(
        Message(Kind::FindFirst).Add(0).Add(0).Add(Text("\\a")).Add(std::nullopt));
    const std::size_t textPresence = 1 + 8;
    ASSERT_TRUE(Decodes(text, Sender::Host));
    ASSERT_EQ('\1', text[textPresence]);
    for (const unsigned char presence : {2, 3, 0x7F, 0x80, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(presence));
        std::string damaged = text;
        damaged[textPresence] = static_cast<char>(presence);
        EXPECT_FALSE(Decodes(damaged, Sender::Host));
    }
}

// What the 64-bit side does with each message the helper sends while a
// request runs: only the request's own reply ends it.
TEST(ProtocolConversation, OnlyTheRequestsOwnReplyEndsIt) {
    struct Case {
        Kind request, received;
        Next next;
    };
    const Case cases[] = {
        {Kind::FindFirst, Kind::FindResult, Next::Reply},
        {Kind::FindNext, Kind::FindBatch, Next::Reply},
        {Kind::RootName, Kind::RootNameResult, Next::Reply},
        {Kind::Init, Kind::Result, Next::Reply},
        {Kind::GetFile, Kind::Result, Next::Reply},
        {Kind::FindClose, Kind::Result, Next::Reply},
        {Kind::GetFile, Kind::Progress, Next::Callback},
        {Kind::PutFile, Kind::Progress, Next::Callback},
        {Kind::PutFile, Kind::Log, Next::Callback},
        {Kind::Init, Kind::Request, Next::Callback},
        // Another request's reply.
        {Kind::FindFirst, Kind::Result, Next::Fault},
        {Kind::FindNext, Kind::FindResult, Next::Fault},
        {Kind::RootName, Kind::Result, Next::Fault},
        {Kind::MkDir, Kind::FindBatch, Next::Fault},
        {Kind::DeleteFile, Kind::RootNameResult, Next::Fault},
        // A helper that announces itself again mid-call.
        {Kind::ExecuteFile, Kind::Ready, Next::Fault},
        // Not the helper's kinds at all.
        {Kind::GetFile, Kind::ProgressAnswer, Next::Fault},
        {Kind::GetFile, Kind::RequestAnswer, Next::Fault},
        {Kind::MkDir, Kind::MkDir, Next::Fault},
        // Nothing that is not a request waits for a reply.
        {Kind::Progress, Kind::Result, Next::Fault},
        {Kind::ProgressAnswer, Kind::Result, Next::Fault},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.request)) + " then " +
                     std::to_string(static_cast<int>(c.received)));
        EXPECT_EQ(c.next, bridge::Classify(c.request, c.received));
    }
}

// The helper's side: between requests it takes requests only, and while a
// callback waits only that callback's answer, or a request nested inside it.
TEST(ProtocolConversation, HelperTakesAnswersOnlyWhenTheirCallbackWaits) {
    for (const Kind request : {Kind::Init, Kind::RootName, Kind::FindFirst, Kind::FindNext,
                               Kind::FindClose, Kind::MkDir, Kind::RemoveDir, Kind::DeleteFile,
                               Kind::RenMovFile, Kind::ExecuteFile, Kind::GetFile, Kind::PutFile}) {
        EXPECT_TRUE(bridge::IsRequest(request)) << static_cast<int>(request);
    }
    for (const Kind unasked : {Kind::ProgressAnswer, Kind::LogAnswer, Kind::RequestAnswer,
                               Kind::Ready, Kind::Result}) {
        EXPECT_FALSE(bridge::IsRequest(unasked)) << static_cast<int>(unasked);
    }

    struct Case {
        Kind callback, received;
        bool taken;
    };
    const Case cases[] = {
        {Kind::Progress, Kind::ProgressAnswer, true},
        {Kind::Log, Kind::LogAnswer, true},
        {Kind::Request, Kind::RequestAnswer, true},
        {Kind::Progress, Kind::LogAnswer, false},
        {Kind::Progress, Kind::RequestAnswer, false},
        {Kind::Log, Kind::ProgressAnswer, false},
        {Kind::Request, Kind::LogAnswer, false},
        // A new request while the callback waits is no answer: it is served
        // nested, and the answer still awaited.
        {Kind::Progress, Kind::GetFile, false},
        {Kind::Request, Kind::FindNext, false},
        // Nothing but a callback waits for an answer.
        {Kind::Result, Kind::RequestAnswer, false},
        {Kind::GetFile, Kind::ProgressAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.callback)) + " answered by " +
                     std::to_string(static_cast<int>(c.received)));
        EXPECT_EQ(c.taken, bridge::Answers(c.callback, c.received));
    }
}

}  // namespace
