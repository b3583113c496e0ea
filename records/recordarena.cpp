#include "records/recordarena.h"

#include <QHash>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
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
// An arena whose objects take more than this many bytes is released on several threads.
const std::size_t ParallelRelease = std::size_t(8) << 20;
const std::size_t MostReleasingThreads = 4;
// Bounds on the texts made for the whole process, so that a file of ever new values cannot
// make them grow without end: about half a megabyte at most.
const int MostLastingTexts = 1024;
const int LongestLastingText = 256;

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

// Calls work(i) for each i below count, on up to `threads` threads taking the next i in
// turn; this one is among them, and does all where no thread can start.
template <typename Work> void inParallel(std::size_t count, std::size_t threads, const Work &work)
{
    std::atomic<std::size_t> next { 0 };
    const auto take = [&next, count, &work] {
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
            work(i);
    };
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < std::min(threads, count); ++t) {
        try {
            helpers.emplace_back(take);
        } catch (const std::system_error &) {
            break;
        }
    }
    take();
    for (std::thread &helper : helpers)
        helper.join();
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

void RecordArena::destroyObjects(const Block &block)
{
    for (std::size_t at = 0; at < block.used;) {
        auto *slot = reinterpret_cast<Slot *>(block.base + at);
        if (slot->destroy)
            slot->destroy(slot + 1);
        at += slot->size;
    }
}

bool RecordArena::textsReferenced(const Block &block, std::size_t elementSize)
{
    for (std::size_t at = 0; at < block.used;) {
        auto *d = reinterpret_cast<QArrayData *>(block.base + at);
        // Nothing can take a new reference now but a holder of one.
        if (d->ref.atomic.loadAcquire() > 1)
            return true;
        at += arrayBytes(d->size, elementSize);
    }
    return false;
}

void RecordArena::release()
{
    std::size_t used = 0;
    for (const Block &block : m_records.blocks)
        used += block.used;
    // A large arena is released by a few threads side by side, each taking the next block
    // as it is done with one, since blocks differ in cost.
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads
        = std::min({ MostReleasingThreads, cores, used / ParallelRelease + 1 });
    // Records first, from the last block back: the block being filled when others were
    // adopted, where a loader made its chats (each freeing a node for every message it
    // lists), is taken first. Their texts are then referenced only by the arena and copies.
    const std::vector<Block> &records = m_records.blocks;
    inParallel(records.size(), threads, [&records](std::size_t i) {
        const Block &block = records[records.size() - 1 - i];
        destroyObjects(block);
        munmap(block.base, block.size);
    });
    m_records.blocks.clear();
    const std::size_t utf16 = m_utf16.blocks.size();
    inParallel(utf16 + m_bytes.blocks.size(), threads, [this, utf16](std::size_t i) {
        const bool bytes = i >= utf16;
        const Block &block = bytes ? m_bytes.blocks[i - utf16] : m_utf16.blocks[i];
        // A block with a text still in use is left mapped for the rest of the process.
        if (!textsReferenced(block, bytes ? 1 : sizeof(char16_t)))
            munmap(block.base, block.size);
    });
    m_utf16.blocks.clear();
    m_bytes.blocks.clear();
    m_sorted.clear();
    m_objects = 0;
}

QString lastingText(const char *utf8, int size)
{
    if (!utf8 || size <= 0 || size > LongestLastingText)
        return QString::fromUtf8(utf8, size);
    static std::mutex mutex;
    // Never destroyed, like what it holds.
    static auto *const made = new QHash<QByteArray, QString>;
    const QByteArray bytes = QByteArray::fromRawData(utf8, size);
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = made->constFind(bytes);
    if (found != made->cend())
        return *found;
    const QString decoded = QString::fromUtf8(utf8, size);
    if (made->size() >= MostLastingTexts)
        return decoded;
    // Qt's own way of marking data it must never count or free, as for its literals.
    auto *d = static_cast<QArrayData *>(std::malloc(arrayBytes(decoded.size(), sizeof(char16_t))));
    if (!d)
        return decoded;
    d->ref.atomic.storeRelaxed(-1);
    d->size = decoded.size();
    d->alloc = 0;
    d->capacityReserved = 0;
    d->offset = sizeof(QArrayData);
    auto *data = static_cast<char16_t *>(d->data());
    std::memcpy(data, decoded.constData(), std::size_t(decoded.size()) * sizeof(char16_t));
    data[decoded.size()] = 0;
    const QString lasting(QStringDataPtr { static_cast<QStringData *>(d) });
    made->insert(QByteArray(utf8, size), lasting);
    return lasting;
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
