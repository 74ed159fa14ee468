#include "metainfo/Hashes.h"

#include <cstring>
#include <random>

namespace sorvena {

namespace {
[[noreturn]] void throwEmptyKey()
{
    throw EHashInvalidKeyError("Key cannot be an empty string");
}
}  // namespace

uint32_t THash::KeyHash(std::string_view key)
{
    uint32_t h = 0x12345670u;
    for (unsigned char b : key) {
        h = (h << 4) + b;
        const uint32_t g = h & 0xF0000000u;
        if (g != 0) h |= g >> 24;
    }
    return h;
}

namespace {

// SipHash-1-3 (Aumasson and Bernstein): a keyed hash meant for exactly this,
// hash tables fed with keys an attacker chooses.
uint64_t rotl(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round()
    {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

struct SipKey {
    uint64_t k0, k1;
};

SipKey processSeed()
{
    std::random_device device;
    const auto draw = [&device] { return (static_cast<uint64_t>(device()) << 32) ^ device(); };
    return SipKey{draw(), draw()};
}

uint64_t seededHash(std::string_view key)
{
    static const SipKey seed = processSeed();
    SipState s{seed.k0 ^ 0x736f6d6570736575ull, seed.k1 ^ 0x646f72616e646f6dull, seed.k0 ^ 0x6c7967656e657261ull,
               seed.k1 ^ 0x7465646279746573ull};
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    const size_t n = key.size();
    const size_t whole = n & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        std::memcpy(&m, p + i, 8);  // little-endian hosts; the hash only has to be a good one, not a portable one
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(n) << 56;
    for (size_t i = whole; i < n; ++i) last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

int32_t THash::findRecord(std::string_view key) const
{
    if (key.empty()) throwEmptyKey();
    if (m_table.empty()) {
        const uint32_t hash = KeyHash(key);
        for (size_t i = 0; i < m_records.size(); ++i) {
            const THashRecord& r = m_records[i];
            if (r.Hash != hash) continue;
            ++m_keyComparisons;
            if (r.Key == key) return static_cast<int32_t>(i);
        }
        return -1;
    }
    const auto tag = static_cast<uint32_t>(seededHash(key));
    const size_t mask = m_table.size() - 1;
    for (size_t at = tag & mask;; at = (at + 1) & mask) {
        const TSlot& slot = m_table[at];
        if (slot.Record < 0) return -1;
        if (slot.Tag != tag) continue;
        ++m_keyComparisons;
        if (m_records[static_cast<size_t>(slot.Record)].Key == key) return slot.Record;
    }
}

void THash::insertSlot(int32_t record, uint64_t seeded)
{
    const auto tag = static_cast<uint32_t>(seeded);
    const size_t mask = m_table.size() - 1;
    size_t at = tag & mask;
    while (m_table[at].Record >= 0) at = (at + 1) & mask;
    m_table[at] = TSlot{record, tag};
}

void THash::growTable()
{
    // Linear probing at most half full: a lookup inspects few slots on
    // average. The tags carry the seeded hash, so growing hashes no key
    // again. The first table takes every record so far; a larger one takes
    // the records of the old table.
    std::vector<TSlot> old = std::move(m_table);
    size_t capacity = 32;
    while (capacity < 2 * (m_records.size() + 1)) capacity *= 2;
    m_table.assign(capacity, TSlot{-1, 0});
    if (old.empty()) {
        for (size_t i = 0; i < m_records.size(); ++i) insertSlot(static_cast<int32_t>(i), seededHash(m_records[i].Key));
        return;
    }
    for (const TSlot& slot : old)
        if (slot.Record >= 0) insertSlot(slot.Record, slot.Tag);
}

void THash::addRecord(int32_t itemIndex, std::string_view key)
{
    m_records.push_back(THashRecord{KeyHash(key), itemIndex, std::string(key)});
    if (m_table.empty()) {
        if (m_records.size() >= SmallDictionaryKeys) growTable();
        return;
    }
    if (2 * m_records.size() > m_table.size()) growTable();
    insertSlot(static_cast<int32_t>(m_records.size() - 1), seededHash(key));
}

void THash::clearRecords()
{
    m_records.clear();
    m_table.clear();
}

bool TObjectHash::Contains(std::string_view key) const
{
    return findRecord(key) >= 0;
}

TObject* TObjectHash::Get(std::string_view key) const
{
    const int32_t r = findRecord(key);
    if (r < 0) throw EHashFindError("Key \"" + std::string(key) + "\" not found");
    return ValueAt(Records()[static_cast<size_t>(r)].ItemIndex);
}

void TObjectHash::Put(std::string_view key, TObjectPtr value)
{
    const int32_t r = findRecord(key);
    if (r >= 0) {
        m_values[static_cast<size_t>(Records()[static_cast<size_t>(r)].ItemIndex)] = std::move(value);
        return;
    }
    const int32_t index = highestItemIndex() + 1;
    setItemCount(index + 1);
    m_values[static_cast<size_t>(index)] = std::move(value);
    addRecord(index, key);
}

void TObjectHash::Clear()
{
    clearItems();
    clearRecords();
}

void TObjectHash::deleteItem(int32_t index)
{
    m_values[static_cast<size_t>(index)].reset();
}

void TObjectHash::moveItem(int32_t from, int32_t to)
{
    m_values[static_cast<size_t>(to)] = std::move(m_values[static_cast<size_t>(from)]);
}

void TObjectHash::setItemCount(int32_t count)
{
    m_values.resize(static_cast<size_t>(count));
}

void TObjectHash::clearItems()
{
    m_values.clear();
}

int32_t TObjectHash::highestItemIndex() const
{
    return static_cast<int32_t>(m_values.size()) - 1;
}

}  // namespace sorvena
