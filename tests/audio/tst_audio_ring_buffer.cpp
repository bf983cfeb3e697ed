// The lock-free ring between the IO callback and the writer: capacity, the edges of its two
// counters, and one producer racing one consumer.

#include "audio/AudioRingBuffer.h"

#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

using namespace harkwell;

namespace {

// Frame f carries (f, -f - 0.5), so order, loss and channel swaps all show.
std::vector<float> framesFrom(int64_t first, int64_t count)
{
    std::vector<float> out;
    for (int64_t f = first; f < first + count; ++f) {
        out.push_back(float(f));
        out.push_back(-float(f) - 0.5f);
    }
    return out;
}

}  // namespace

class AudioRingBufferTest : public QObject {
    Q_OBJECT
private slots:
    void capacityRoundsUpToPowerOfTwo_data()
    {
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<qint64>("capacity");
        QTest::newRow("1 stays 1") << qint64(1) << qint64(1);
        QTest::newRow("3 becomes 4") << qint64(3) << qint64(4);
        QTest::newRow("recording ring stays 524,288") << qint64(524'288) << qint64(524'288);
        QTest::newRow("524,289 doubles") << qint64(524'289) << qint64(1'048'576);
    }
    void capacityRoundsUpToPowerOfTwo()
    {
        QFETCH(qint64, asked);
        QFETCH(qint64, capacity);
        AudioRingBuffer ring(asked, 2);
        QCOMPARE(ring.capacityFrames(), capacity);
        QCOMPARE(ring.writeCount(), 0);
        std::vector<float> out(2);
        QCOMPARE(ring.read(out.data(), 1), 0);
    }

    // Counters are first moved to `before` frames written and `consumed` read; then one write and
    // one read, whose frames must come back in order.
    void writeThenRead_data()
    {
        QTest::addColumn<qint64>("before");
        QTest::addColumn<qint64>("consumed");
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<qint64>("readMax");
        QTest::addColumn<qint64>("readBack");
        QTest::newRow("empty ring reads nothing") << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(4) << qint64(0);
        QTest::newRow("full ring stores nothing") << qint64(8) << qint64(0) << qint64(3) << qint64(0) << qint64(8) << qint64(8);
        QTest::newRow("write across the end lands in two pieces") << qint64(6) << qint64(6) << qint64(5) << qint64(5) << qint64(8) << qint64(5);
        QTest::newRow("overflow stores only the free space") << qint64(5) << qint64(0) << qint64(6) << qint64(3) << qint64(16) << qint64(8);
        QTest::newRow("overflow after a wrap") << qint64(13) << qint64(10) << qint64(9) << qint64(5) << qint64(16) << qint64(8);
        QTest::newRow("read stops at its maximum") << qint64(4) << qint64(0) << qint64(2) << qint64(2) << qint64(3) << qint64(3);
        QTest::newRow("zero-frame read copies nothing") << qint64(4) << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(0);
    }
    void writeThenRead()
    {
        QFETCH(qint64, before);
        QFETCH(qint64, consumed);
        QFETCH(qint64, frames);
        QFETCH(qint64, stored);
        QFETCH(qint64, readMax);
        QFETCH(qint64, readBack);

        AudioRingBuffer ring(8, 2);
        std::vector<float> sink(64);
        int64_t next = 0;
        // Move the counters in steps that never overfill, so `before` can exceed the capacity.
        while (next < before) {
            const int64_t step = std::min<int64_t>(before - next, 8 - (next - ring.readCount()));
            const auto chunk = framesFrom(next, step);
            QCOMPARE(ring.write(chunk.data(), step), step);
            next += step;
            const int64_t drain = std::min<int64_t>(consumed - ring.readCount(), next - ring.readCount());
            if (next < before || drain > 0)
                QCOMPARE(ring.read(sink.data(), std::max<int64_t>(drain, 0)), std::max<int64_t>(drain, 0));
        }
        QCOMPARE(ring.writeCount(), before);
        QCOMPARE(ring.readCount(), consumed);

        const auto chunk = framesFrom(next, frames);
        QCOMPARE(ring.write(chunk.data(), frames), stored);
        QCOMPARE(ring.writeCount(), before + stored);
        QCOMPARE(ring.readCount(), consumed);

        std::vector<float> out(size_t(readMax + 1) * 2, 99.0f);
        QCOMPARE(ring.read(out.data(), readMax), readBack);
        QCOMPARE(ring.readCount(), consumed + readBack);
        const auto expected = framesFrom(consumed, readBack);
        QVERIFY(std::equal(expected.begin(), expected.end(), out.begin()));
        QCOMPARE(out[size_t(readBack) * 2], 99.0f);  // nothing copied beyond what was returned
    }

    void countersKeepGrowingOverManyWraps()
    {
        AudioRingBuffer ring(16, 2);
        std::vector<float> out(2 * 16);
        int64_t next = 0;
        for (int round = 0; round < 1000; ++round) {
            const int64_t step = 1 + round % 11;
            const auto chunk = framesFrom(next, step);
            QCOMPARE(ring.write(chunk.data(), step), step);
            QCOMPARE(ring.read(out.data(), 16), step);
            QVERIFY(std::equal(chunk.begin(), chunk.end(), out.begin()));
            next += step;
        }
        QCOMPARE(ring.writeCount(), next);
        QCOMPARE(ring.readCount(), next);
        QVERIFY(next > 16 * 100);
    }

    // A fast producer writes chunks into a small ring while a slow consumer drains it: the reader
    // must see exactly the written frames minus those the producer was told were dropped.
    void producerAndConsumerOnTwoThreads()
    {
        constexpr int64_t kTotal = 1 << 20;
        AudioRingBuffer ring(1024, 2);
        std::atomic<bool> done{false};
        std::vector<int64_t> expected;  // producer's own record of the frames that went in
        expected.reserve(kTotal);

        std::thread producer([&] {
            int64_t next = 0;
            std::vector<float> chunk;
            while (next < kTotal) {
                const int64_t count = std::min<int64_t>(1 + (next * 7919) % 300, kTotal - next);
                chunk = framesFrom(next, count);
                const int64_t stored = ring.write(chunk.data(), count);
                for (int64_t f = next; f < next + stored; ++f)
                    expected.push_back(f);
                next += count;
            }
            done.store(true, std::memory_order_release);
        });

        std::vector<int64_t> seen;
        seen.reserve(kTotal);
        bool channelsIntact = true;
        std::vector<float> out(2 * 64);
        int64_t turn = 0;
        for (;;) {
            const bool finished = done.load(std::memory_order_acquire);
            const int64_t got = ring.read(out.data(), 1 + (turn++ % 64));
            for (int64_t i = 0; i < got; ++i) {
                seen.push_back(int64_t(out[size_t(i) * 2]));
                channelsIntact = channelsIntact && out[size_t(i) * 2 + 1] == -out[size_t(i) * 2] - 0.5f;
            }
            if (got == 0 && finished)
                break;
            if (got == 0)
                std::this_thread::yield();
        }
        producer.join();

        QVERIFY(channelsIntact);
        QCOMPARE(int64_t(seen.size()), ring.writeCount());
        QCOMPARE(seen.size(), expected.size());
        QVERIFY(seen == expected);
    }
};

QTEST_GUILESS_MAIN(AudioRingBufferTest)
#include "tst_audio_ring_buffer.moc"
