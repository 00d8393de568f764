// The ring that carries the bridge's byte stream each way, between two
// threads of one process as between the module and its helper: every byte
// arrives once and in order, across the ring's end and in frames larger than
// the ring; a reader asleep is woken; a count that the other side could not
// have written is refused.
#include "bridge/ring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace {

using bridge::FrameBuffer;
using bridge::kRingBytes;
using bridge::kRingSectionBytes;
using bridge::RingControl;
using bridge::RingReader;
using bridge::RingWriter;

// A frame as the bridge writes it: the payload's length, then the payload.
std::string FrameOf(const std::string& payload) {
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(payload.size() >> (8 * i));
    return frame + payload;
}

std::string Payload(std::size_t size, char seed) {
    std::string payload(size, '\0');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(seed + i * 7 + i / 251);
    return payload;
}

struct Ring {
    Ring() : memory(kRingSectionBytes), wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        writer.Attach(memory.data(), wake.Get());
        reader.Attach(memory.data(), wake.Get());
    }
    RingControl& Control() { return *reinterpret_cast<RingControl*>(memory.data()); }

    // Reads frames as the module's inbox does, sleeping on the event between
    // them, until `count` have arrived.
    std::vector<std::string> ReadFrames(std::size_t count) {
        std::vector<std::string> payloads;
        FrameBuffer frames;
        while (payloads.size() < count) {
            if (!reader.Take(&frames)) break;
            std::string payload;
            FrameBuffer::Take taken;
            while ((taken = frames.Next(&payload)) == FrameBuffer::Take::Frame) payloads.push_back(payload);
            if (taken == FrameBuffer::Take::Fault || payloads.size() >= count) break;
            if (reader.SpinThenSleep()) continue;
            const DWORD woke = WaitForSingleObject(reader.Event(), 10000);
            reader.Awake();
            if (woke != WAIT_OBJECT_0) break;  // never woken, or the frames never whole
        }
        return payloads;
    }

    std::vector<char> memory;
    UniqueHandle wake;
    RingWriter writer;
    RingReader reader;
};

struct Sent {
    Ring* ring;
    std::vector<std::string> payloads;
    bool written = true;
};

DWORD WINAPI WriteAll(void* param) {
    auto* sent = static_cast<Sent*>(param);
    for (const std::string& payload : sent->payloads) {
        const std::string frame = FrameOf(payload);
        // Now and then a pause, so that the reader sleeps and must be woken.
        if (payload.size() % 3 == 0) Sleep(2);
        sent->written = sent->written && sent->ring->writer.Write(frame.data(), frame.size(), nullptr);
    }
    return 0;
}

TEST(RingTest, CarriesFramesInOrderAcrossItsEndAndLargerThanItself) {
    Ring ring;
    Sent sent{&ring, {}};
    // Sizes that do not divide the ring, so that frames wrap at every offset,
    // and four frames of up to four times the ring, which go through in pieces
    // while the reader takes them.
    for (int i = 0; i < 400; ++i) sent.payloads.push_back(Payload(1 + (i * 4099) % 60000, static_cast<char>(i)));
    for (int i = 1; i <= 4; ++i) sent.payloads.push_back(Payload(i * kRingBytes - 3, static_cast<char>(i)));
    UniqueHandle writer(CreateThread(nullptr, 0, &WriteAll, &sent, 0, nullptr));
    ASSERT_TRUE(writer.Valid());
    const std::vector<std::string> received = ring.ReadFrames(sent.payloads.size());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(writer.Get(), 30000));
    EXPECT_TRUE(sent.written);
    ASSERT_EQ(sent.payloads.size(), received.size());
    for (std::size_t i = 0; i < received.size(); ++i) ASSERT_EQ(sent.payloads[i], received[i]) << "frame " << i;
    EXPECT_FALSE(ring.reader.Arrived());
}

TEST(RingTest, RefusesCountsTheOtherSideCouldNotHaveWritten) {
    // A writer's count more than a ring ahead of what was taken: the reader
    // takes nothing from it.
    Ring ahead;
    ahead.Control().written = static_cast<LONG>(kRingBytes + 1);
    FrameBuffer frames;
    EXPECT_FALSE(ahead.reader.Take(&frames));
    std::string payload;
    EXPECT_EQ(FrameBuffer::Take::Incomplete, frames.Next(&payload));

    // A reader's count ahead of what was written: the writer writes nothing.
    Ring behind;
    behind.Control().read = 5;
    EXPECT_FALSE(behind.writer.Write("abc", 3, nullptr));
    EXPECT_EQ(0, behind.Control().written);
}

TEST(RingTest, AWriterFacingAFullRingGivesUpOnceItsReaderHasEnded) {
    Ring ring;
    const std::string full(kRingBytes, 'x');
    ASSERT_TRUE(ring.writer.Write(full.data(), full.size(), nullptr));
    // The peer: a process that has ended, as a helper that died with the ring full.
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    wchar_t commandLine[] = L"cmd.exe /c exit 0";
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &info));
    UniqueHandle process(info.hProcess), thread(info.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 30000));
    EXPECT_FALSE(ring.writer.Write("y", 1, process.Get()));
}

}  // namespace
