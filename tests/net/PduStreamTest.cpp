#include "net/PduStream.h"

#include <gtest/gtest.h>

#include "NetFixtures.h"

using namespace dicomlib::net;
using namespace nettest;

namespace {

// Connects a stream to the peer with the test's receive time-out.
void Connect(PduStream& stream, const FakePeer& peer) {
    stream.Socket().SetReceiveTimeout(PEER_TIMEOUT);
    ASSERT_TRUE(stream.Open("127.0.0.1", peer.Port()));
}

}  // namespace

TEST(PduStream, CutsBatchedAndSplitBytesIntoWholePdus) {
    // A P-DATA-TF of 100000 bytes sent in 7-byte pieces, then three PDUs in one write.
    Bytes large(100000 - 12, 0);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>(i * 7);
    const Bytes pdata = EncodePDataTF(1, 2, large);
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        for (std::size_t at = 0; at < pdata.size(); at += 7) {
            const std::size_t n = std::min<std::size_t>(7, pdata.size() - at);
            if (!s.Socket().Send(pdata.data() + at, n)) return;
        }
        s.Queue(RELEASE_RQ);
        s.Queue(AssociateRqFixture());
        s.Queue(ABORT);
        EXPECT_EQ(s.QueuedBytes(), 10u + 211u + 10u);
        s.Flush();
        ClosedByOtherSide(s);
    });
    PduStream stream;
    Connect(stream, peer);
    auto first = stream.ReadPdu();
    ASSERT_TRUE(first.Ok()) << first.GetError().detail;
    EXPECT_EQ(first->type, PDU_P_DATA_TF);
    EXPECT_EQ(Bytes(first->bytes.begin(), first->bytes.end()), pdata);
    EXPECT_EQ(ReadPduBytes(stream), RELEASE_RQ);
    auto rq = stream.ReadPdu();
    ASSERT_TRUE(rq.Ok());
    EXPECT_EQ(rq->type, PDU_ASSOCIATE_RQ);
    EXPECT_EQ(rq->Body().size(), 205u);
    auto ten = stream.ReadExact(10);
    ASSERT_TRUE(ten.Ok());
    EXPECT_EQ(Bytes(ten->begin(), ten->end()), ABORT);
    EXPECT_EQ(stream.BufferedBytes(), 0u);
    stream.Close();
    peer.Join();
}

TEST(PduStream, ConnectionEndingInsideAPduFails) {
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        // The header announces 205 bytes; 100 come, then the connection closes.
        const Bytes rq = AssociateRqFixture();
        s.Socket().Send(rq.data(), 106);
    });
    PduStream stream;
    Connect(stream, peer);
    auto pdu = stream.ReadPdu();
    ASSERT_FALSE(pdu.Ok());
    EXPECT_EQ(pdu.Code(), ErrorCode::SocketFailed);
    EXPECT_FALSE(stream.Connected());
    peer.Join();
}

TEST(PduStream, HugeAnnouncedLengthIsMalformedWithoutWaiting) {
    FakePeer peer;
    peer.Start([&](PduStream& s) {
        const Bytes header = {0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xF0};
        s.Write(header);
        ClosedByOtherSide(s);
    });
    PduStream stream;
    Connect(stream, peer);
    auto pdu = stream.ReadPdu();
    ASSERT_FALSE(pdu.Ok());
    EXPECT_EQ(pdu.Code(), ErrorCode::Malformed);
    stream.Close();
    peer.Join();
}
