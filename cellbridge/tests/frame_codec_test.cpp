// The frame codec: CRC, framing and recovery from a damaged byte stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "frame_codec.h"

namespace {

std::vector<BYTE> Frame(BYTE bCommand, WORD wSequence, std::vector<BYTE> payload) {
    std::vector<BYTE> out;
    EXPECT_TRUE(CbEncodeFrame(bCommand, wSequence, payload.data(), payload.size(), &out));
    return out;
}

std::vector<CbFrame> DecodeAll(CFrameDecoder& decoder) {
    std::vector<CbFrame> frames;
    CbFrame frame;
    while (decoder.Next(&frame))
        frames.push_back(frame);
    return frames;
}

TEST(FrameCodec, CrcIsCcittFalse) {
    const char kCheck[] = "123456789";
    EXPECT_EQ(CbCrc16(reinterpret_cast<const BYTE*>(kCheck), 9), 0x29B1);
}

TEST(FrameCodec, RoundTripAndLimits) {
    std::vector<BYTE> payload(CB_FRAME_MAX_PAYLOAD);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<BYTE>(i * 7);
    std::vector<BYTE> bytes = Frame(0x83, 0xBEEF, payload);
    ASSERT_EQ(bytes.size(), CB_FRAME_MAX_SIZE);
    EXPECT_EQ(bytes[0], 0xA5);
    EXPECT_EQ(bytes[1], 0x5A);

    std::vector<BYTE> tooLong(CB_FRAME_MAX_PAYLOAD + 1);
    std::vector<BYTE> out;
    EXPECT_FALSE(CbEncodeFrame(1, 1, tooLong.data(), tooLong.size(), &out));
    EXPECT_TRUE(out.empty());

    // Fed one byte at a time, the frame appears only with its last byte.
    CFrameDecoder decoder;
    CbFrame frame;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        decoder.Feed(&bytes[i], 1);
        ASSERT_FALSE(decoder.Next(&frame)) << "at byte " << i;
    }
    decoder.Feed(&bytes.back(), 1);
    ASSERT_TRUE(decoder.Next(&frame));
    EXPECT_EQ(frame.bCommand, 0x83);
    EXPECT_EQ(frame.wSequence, 0xBEEF);
    EXPECT_EQ(frame.payload, payload);
    EXPECT_EQ(decoder.DroppedBytes(), 0u);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
}

TEST(FrameCodec, ResynchronisesAfterDamage) {
    const std::vector<BYTE> good = Frame(0x81, 7, {0, 0, 10});
    std::vector<BYTE> damaged = good;
    damaged[8] ^= 0x01;                             // payload bit flipped: CRC no longer matches
    std::vector<BYTE> stream = {0x00, 0xA5, 0x13};  // stray bytes
    stream.insert(stream.end(), {0xA5, 0x5A, 0xFF, 0xFF});  // impossible length
    stream.insert(stream.end(), damaged.begin(), damaged.end());
    stream.insert(stream.end(), good.begin(), good.end());
    stream.insert(stream.end(), {0xA5, 0x5A, 0x40, 0x00, 0x81});  // long, never completed
    stream.insert(stream.end(), good.begin(), good.end());

    CFrameDecoder decoder;
    decoder.Feed(stream.data(), stream.size());
    std::vector<CbFrame> frames = DecodeAll(decoder);
    ASSERT_EQ(frames.size(), 2u);
    for (const CbFrame& frame : frames) {
        EXPECT_EQ(frame.wSequence, 7);
        EXPECT_EQ(frame.payload, (std::vector<BYTE>{0, 0, 10}));
    }
    EXPECT_EQ(decoder.PendingBytes(), 0u);
    EXPECT_EQ(decoder.DroppedBytes(), stream.size() - 2 * good.size());
}

TEST(FrameCodec, KeepsAMarkerSplitAcrossReads) {
    const std::vector<BYTE> good = Frame(0x86, 3, {0, 0});
    CFrameDecoder decoder;
    std::vector<BYTE> first = {0x11, 0x22, good[0]};
    decoder.Feed(first.data(), first.size());
    CbFrame frame;
    EXPECT_FALSE(decoder.Next(&frame));
    EXPECT_EQ(decoder.PendingBytes(), 1u);
    decoder.Feed(good.data() + 1, good.size() - 1);
    ASSERT_TRUE(decoder.Next(&frame));
    EXPECT_EQ(frame.bCommand, 0x86);
}

TEST(FrameCodec, FramesDoNotDependOnHowTheStreamIsCut) {
    // Found by fuzzing: a frame whose payload carries a complete frame gave
    // the outer frame when it arrived in one read and the inner one when it
    // arrived byte by byte. The frame that ends first wins, however it
    // arrives.
    const std::vector<BYTE> inner = Frame(0x82, 8, {0, 0});
    std::vector<BYTE> payload = {0, 0};
    payload.insert(payload.end(), inner.begin(), inner.end());
    std::vector<BYTE> stream = Frame(0x83, 9, payload);
    const std::vector<BYTE> after = Frame(0x86, 10, {0, 0});
    stream.insert(stream.end(), after.begin(), after.end());

    for (size_t cbRead : {stream.size(), size_t{1}, size_t{5}}) {
        CFrameDecoder decoder;
        std::vector<CbFrame> frames;
        for (size_t at = 0; at < stream.size(); at += cbRead) {
            decoder.Feed(&stream[at], std::min(cbRead, stream.size() - at));
            for (CbFrame& frame : DecodeAll(decoder))
                frames.push_back(frame);
        }
        ASSERT_EQ(frames.size(), 2u) << cbRead;
        EXPECT_EQ(frames[0].wSequence, 8);
        EXPECT_EQ(frames[1].wSequence, 10);
        EXPECT_EQ(decoder.PendingBytes(), 0u);
        EXPECT_EQ(decoder.DroppedBytes(), stream.size() - inner.size() - after.size());
    }
}

TEST(FrameCodec, RecoversEveryFrameFromNoisyStream) {
    // Noise drawn mostly from marker bytes, so false starts are frequent.
    std::mt19937 rng(12345);
    const BYTE kAlphabet[] = {0xA5, 0x5A, 0x00, 0x01, 0x02, 0xFF};
    std::vector<BYTE> stream;
    for (WORD seq = 0; seq < 300; ++seq) {
        const size_t cbNoise = rng() % 12;
        for (size_t i = 0; i < cbNoise; ++i)
            stream.push_back(kAlphabet[rng() % 6]);
        std::vector<BYTE> payload(rng() % 40);
        for (BYTE& b : payload)
            b = static_cast<BYTE>(rng());
        std::vector<BYTE> bytes = Frame(0x85, seq, payload);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    CFrameDecoder decoder;
    std::vector<CbFrame> frames;
    for (size_t at = 0; at < stream.size();) {
        const size_t cb = std::min<size_t>(1 + rng() % 64, stream.size() - at);
        decoder.Feed(&stream[at], cb);
        at += cb;
        for (CbFrame& frame : DecodeAll(decoder))
            frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 300u);
    for (WORD seq = 0; seq < 300; ++seq)
        EXPECT_EQ(frames[seq].wSequence, seq);
}

}  // namespace
