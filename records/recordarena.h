// Large blocks in which one message set makes its records and their texts: one allocation
// for thousands of them, and memory the kernel may back with huge pages, since first
// touches of fresh memory were half of a large load. What is made here lives until the
// arena goes (or the arena that adopted it), whose destructor destroys each object once; a
// large arena destroys its objects on several threads at once, so what an object's
// destructor does must be safe beside another's (Qt's shared values are).
// Texts and bytes are ordinary shared Qt values whose data lies in a block; the arena holds
// a reference to each, so Qt never frees one, and a copy may outlive the arena: a block
// that still holds a text referenced elsewhere is kept for good rather than unmapped.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <new>
#include <vector>

class RecordArena
{
public:
    RecordArena() = default;
    ~RecordArena();
    RecordArena(const RecordArena &) = delete;
    RecordArena &operator=(const RecordArena &) = delete;

    // A new T, value-initialised; throws std::bad_alloc when no block can be had.
    template <typename T> T *make()
    {
        Slot *slot = allocate(sizeof(T));
        T *made = new (slot + 1) T();
        // Set only once made: a constructor that threw leaves nothing to destroy.
        slot->destroy = &destroyObject<T>;
        return made;
    }

    // The text of `size` bytes of UTF-8 (decoded as QString::fromUtf8 does).
    QString utf8Text(const char *utf8, int size);
    // The text of `size` Latin-1 characters.
    QString latin1Text(const char *latin1, int size);
    QByteArray bytes(const char *data, int size);

    // Takes over everything `other` made; `other` is left empty.
    void adopt(RecordArena &other);
    // Gives the system back the pages past what each block being filled holds: a block is
    // one huge page, resident whole once touched. Making goes on as before.
    void trim();
    // True when p points into a block of this arena.
    bool owns(const void *p) const;
    std::size_t objectCount() const { return m_objects; }
    // Bytes taken from the system for blocks.
    std::size_t reservedBytes() const;

private:
    struct alignas(std::max_align_t) Slot
    {
        void (*destroy)(void *) = nullptr;
        std::size_t size = 0; // of the slot, this header included
    };
    struct Block
    {
        char *base = nullptr;
        std::size_t size = 0;
        std::size_t used = 0;
    };

    // Blocks of one kind, the last one being filled.
    struct Chain
    {
        std::vector<Block> blocks;
        void *take(std::size_t size);
        void adopt(Chain &other);
        void trim();
    };

    template <typename T> static void destroyObject(void *p) { static_cast<T *>(p)->~T(); }

    Slot *allocate(std::size_t objectSize);
    // Uninitialised room for `count` elements of `elementSize` bytes and a zero after them.
    QArrayData *arrayData(Chain &chain, int count, std::size_t elementSize);
    static void destroyObjects(const Block &block);
    // True when a text or bytes of the block is referenced by more than the arena.
    static bool textsReferenced(const Block &block, std::size_t elementSize);
    void release();

    Chain m_records;
    Chain m_utf16; // QString data
    Chain m_bytes; // QByteArray data
    mutable std::vector<Block> m_sorted; // record blocks by base, for owns(); rebuilt when stale
    std::size_t m_objects = 0;
};

// The text of `size` bytes of UTF-8 (decoded as QString::fromUtf8 does), made once for the
// whole process and never freed, for a text that many records repeat (a service, an
// account): copying or dropping it writes no count, which threads making or destroying the
// records of a large set side by side would otherwise all write to. The same bytes give the
// same text on any thread. Only a bounded number of short texts are made so; past that, and
// for longer ones, an ordinary text is returned.
QString lastingText(const char *utf8, int size);
