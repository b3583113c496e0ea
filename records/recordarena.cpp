#include "records/recordarena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

namespace {

const std::size_t HugePage = std::size_t(2) << 20;
// A small set (a phone of a few hundred messages, a local database) fills part of its first
// block: that one is small and left to ordinary pages.
const std::size_t FirstBlock = std::size_t(256) << 10;
// Later blocks grow with what the chain holds, up to this: each new mapping stops every
// thread of the process that is touching fresh memory, so a large load takes few of them.
// Only the pages touched become resident.
const std::size_t LargestBlock = std::size_t(32) << 20;
// Objects of more than this many bytes are destroyed on several threads.
const std::size_t ParallelDestruction = std::size_t(8) << 20;

std::size_t roundUp(std::size_t n, std::size_t to)
{
    return (n + to - 1) / to * to;
}

char *mapOrThrow(std::size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<char *>(p);
}

// Fresh memory of `size` bytes (a multiple of the huge page) that starts on a huge page
// boundary, so that every huge page of it can be one.
char *mapAligned(std::size_t size)
{
    const std::size_t mapped = size + HugePage;
    char *start = mapOrThrow(mapped);
    char *aligned
        = reinterpret_cast<char *>(roundUp(reinterpret_cast<std::uintptr_t>(start), HugePage));
    if (aligned != start)
        munmap(start, std::size_t(aligned - start));
    const std::size_t tail = mapped - std::size_t(aligned - start) - size;
    if (tail)
        munmap(aligned + size, tail);
    // Advice only: where the kernel has no huge pages to give, ordinary ones serve.
    madvise(aligned, size, MADV_HUGEPAGE);
    return aligned;
}

std::size_t arrayBytes(int count, std::size_t elementSize)
{
    return roundUp(
        sizeof(QArrayData) + (std::size_t(count) + 1) * elementSize, alignof(QArrayData));
}

} // namespace

void *RecordArena::Chain::take(std::size_t size)
{
    if (blocks.empty() || blocks.back().size - blocks.back().used < size) {
        const bool first = blocks.empty() && size <= FirstBlock;
        Block block;
        std::size_t held = 0;
        for (const Block &b : blocks)
            held += b.size;
        block.size = first
            ? FirstBlock
            : roundUp(std::max(size, qBound(HugePage, held, LargestBlock)), HugePage);
        blocks.reserve(blocks.size() + 1);
        block.base = first ? mapOrThrow(block.size) : mapAligned(block.size);
        blocks.push_back(block);
    }
    Block &block = blocks.back();
    void *p = block.base + block.used;
    block.used += size;
    return p;
}

void RecordArena::Chain::adopt(Chain &other)
{
    // The block being filled stays last, so that filling goes on where it was.
    blocks.insert(blocks.begin(), other.blocks.cbegin(), other.blocks.cend());
    other.blocks.clear();
}

void RecordArena::Chain::trim()
{
    if (blocks.empty() || blocks.back().size < HugePage)
        return;
    const Block &block = blocks.back();
    const std::size_t kept = roundUp(block.used, std::size_t(sysconf(_SC_PAGESIZE)));
    // Advice only: pages not given back stay as they were.
    if (kept < block.size)
        madvise(block.base + kept, block.size - kept, MADV_DONTNEED);
}

void RecordArena::trim()
{
    m_records.trim();
    m_utf16.trim();
    m_bytes.trim();
}

RecordArena::~RecordArena()
{
    release();
}

void RecordArena::destroyObjects(const Block *from, const Block *to)
{
    for (const Block *block = from; block != to; ++block) {
        for (std::size_t at = 0; at < block->used;) {
            auto *slot = reinterpret_cast<Slot *>(block->base + at);
            if (slot->destroy)
                slot->destroy(slot + 1);
            at += slot->size;
        }
    }
}

void RecordArena::destroyRecords()
{
    // A large arena's objects are destroyed by a few threads side by side, each taking whole
    // blocks of about equal size.
    const Block *begin = m_records.blocks.data();
    const Block *end = begin + m_records.blocks.size();
    std::size_t used = 0;
    for (const Block *block = begin; block != end; ++block)
        used += block->used;
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t parts = std::min(
        { std::size_t(4), m_records.blocks.size(), cores, used / ParallelDestruction + 1 });
    std::vector<std::thread> threads;
    const Block *from = begin;
    std::size_t taken = 0;
    for (std::size_t part = 1; part < parts && from != end; ++part) {
        const Block *to = from;
        while (to != end && (to == from || taken < used * part / parts))
            taken += (to++)->used;
        try {
            threads.emplace_back(destroyObjects, from, to);
        } catch (const std::system_error &) {
            destroyObjects(from, to);
        }
        from = to;
    }
    destroyObjects(from, end);
    for (std::thread &thread : threads)
        thread.join();
}

void RecordArena::release()
{
    // Records first: their texts are then referenced only by the arena and by copies.
    destroyRecords();
    for (const Block &block : m_records.blocks)
        munmap(block.base, block.size);
    m_records.blocks.clear();
    releaseTexts(m_utf16, sizeof(char16_t));
    releaseTexts(m_bytes, 1);
    m_sorted.clear();
    m_objects = 0;
}

void RecordArena::releaseTexts(Chain &chain, std::size_t elementSize)
{
    for (const Block &block : chain.blocks) {
        bool referenced = false;
        for (std::size_t at = 0; at < block.used && !referenced;) {
            auto *d = reinterpret_cast<QArrayData *>(block.base + at);
            // Nothing can take a new reference now but a holder of one.
            referenced = d->ref.atomic.loadAcquire() > 1;
            at += arrayBytes(d->size, elementSize);
        }
        // A block with a text still in use is left mapped for the rest of the process.
        if (!referenced)
            munmap(block.base, block.size);
    }
    chain.blocks.clear();
}

RecordArena::Slot *RecordArena::allocate(std::size_t objectSize)
{
    const std::size_t size = sizeof(Slot) + roundUp(objectSize, alignof(Slot));
    const std::size_t blocks = m_records.blocks.size();
    auto *slot = new (m_records.take(size)) Slot;
    slot->size = size;
    ++m_objects;
    if (m_records.blocks.size() != blocks)
        m_sorted.clear();
    return slot;
}

QArrayData *RecordArena::arrayData(Chain &chain, int count, std::size_t elementSize)
{
    auto *d = static_cast<QArrayData *>(chain.take(arrayBytes(count, elementSize)));
    // One reference is the arena's and is never given back, one the caller's.
    d->ref.atomic.storeRelaxed(2);
    d->size = count;
    // Like data Qt does not own: any change makes a copy of its own.
    d->alloc = 0;
    d->capacityReserved = 0;
    d->offset = sizeof(QArrayData);
    return d;
}

QString RecordArena::utf8Text(const char *utf8, int size)
{
    if (!utf8 || size <= 0)
        return QString::fromUtf8(utf8, size);
    int ascii = 0;
    while (ascii < size && static_cast<unsigned char>(utf8[ascii]) < 0x80)
        ++ascii;
    if (ascii < size) {
        // Decoded as Qt decodes, invalid sequences too; the decoded copy is freed at once.
        const QString decoded = QString::fromUtf8(utf8, size);
        QArrayData *d = arrayData(m_utf16, decoded.size(), sizeof(char16_t));
        auto *data = static_cast<char16_t *>(d->data());
        std::memcpy(data, decoded.constData(), std::size_t(decoded.size()) * sizeof(char16_t));
        data[decoded.size()] = 0;
        return QString(QStringDataPtr { static_cast<QStringData *>(d) });
    }
    return latin1Text(utf8, size);
}

QString RecordArena::latin1Text(const char *latin1, int size)
{
    if (!latin1 || size <= 0)
        return QString::fromLatin1(latin1, size);
    QArrayData *d = arrayData(m_utf16, size, sizeof(char16_t));
    auto *data = static_cast<char16_t *>(d->data());
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(latin1[i]);
    data[size] = 0;
    return QString(QStringDataPtr { static_cast<QStringData *>(d) });
}

QByteArray RecordArena::bytes(const char *data, int size)
{
    if (!data || size <= 0)
        return data ? QByteArray(data, size) : QByteArray();
    QArrayData *d = arrayData(m_bytes, size, 1);
    auto *to = static_cast<char *>(d->data());
    std::memcpy(to, data, std::size_t(size));
    to[size] = 0;
    return QByteArray(QByteArrayDataPtr { static_cast<QByteArrayData *>(d) });
}

void RecordArena::adopt(RecordArena &other)
{
    if (&other == this)
        return;
    m_records.adopt(other.m_records);
    m_utf16.adopt(other.m_utf16);
    m_bytes.adopt(other.m_bytes);
    m_objects += other.m_objects;
    m_sorted.clear();
    other.m_sorted.clear();
    other.m_objects = 0;
}

bool RecordArena::owns(const void *p) const
{
    const std::vector<Block> &blocks = m_records.blocks;
    if (blocks.empty())
        return false;
    if (m_sorted.size() != blocks.size()) {
        m_sorted = blocks;
        std::sort(m_sorted.begin(), m_sorted.end(), [](const Block &a, const Block &b) {
            return std::less<const char *>()(a.base, b.base);
        });
    }
    const char *c = static_cast<const char *>(p);
    auto it = std::upper_bound(m_sorted.cbegin(), m_sorted.cend(), c,
        [](const char *x, const Block &b) { return std::less<const char *>()(x, b.base); });
    if (it == m_sorted.cbegin())
        return false;
    --it;
    return std::less<const char *>()(c, it->base + it->size);
}

std::size_t RecordArena::reservedBytes() const
{
    std::size_t total = 0;
    for (const Chain *chain : { &m_records, &m_utf16, &m_bytes }) {
        for (const Block &block : chain->blocks)
            total += block.size;
    }
    return total;
}
