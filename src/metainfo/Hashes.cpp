#include "metainfo/Hashes.h"

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

int32_t THash::findRecord(std::string_view key, uint32_t* hashOut) const
{
    if (key.empty()) throwEmptyKey();
    const uint32_t hash = KeyHash(key);
    if (hashOut) *hashOut = hash;
    if (!m_buckets) {
        for (size_t i = 0; i < m_records.size(); ++i) {
            const THashRecord& r = m_records[i];
            if (r.Hash == hash && r.Key == key) return static_cast<int32_t>(i);
        }
        return -1;
    }
    for (int32_t i = m_buckets->Head[hash & BucketMask]; i >= 0; i = m_records[static_cast<size_t>(i)].Next) {
        const THashRecord& r = m_records[static_cast<size_t>(i)];
        if (r.Key == key) return i;
    }
    return -1;
}

void THash::buildBuckets()
{
    m_buckets = std::make_unique<TBuckets>();
    m_buckets->Head.fill(-1);
    m_buckets->Tail.fill(-1);
    for (size_t i = 0; i < m_records.size(); ++i) {
        const uint32_t b = m_records[i].Hash & BucketMask;
        const auto idx = static_cast<int32_t>(i);
        if (m_buckets->Tail[b] < 0)
            m_buckets->Head[b] = idx;
        else
            m_records[static_cast<size_t>(m_buckets->Tail[b])].Next = idx;
        m_buckets->Tail[b] = idx;
    }
}

void THash::addRecord(uint32_t hash, int32_t itemIndex, std::string key)
{
    m_records.push_back(THashRecord{hash, itemIndex, std::move(key), -1});
    if (m_buckets) {
        const uint32_t b = hash & BucketMask;
        const auto idx = static_cast<int32_t>(m_records.size() - 1);
        if (m_buckets->Tail[b] < 0)
            m_buckets->Head[b] = idx;
        else
            m_records[static_cast<size_t>(m_buckets->Tail[b])].Next = idx;
        m_buckets->Tail[b] = idx;
    } else if (m_records.size() >= SmallDictionaryKeys) {
        buildBuckets();
    }
}

void THash::clearRecords()
{
    m_records.clear();
    m_buckets.reset();
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
    uint32_t hash = 0;
    const int32_t r = findRecord(key, &hash);
    if (r >= 0) {
        m_values[static_cast<size_t>(Records()[static_cast<size_t>(r)].ItemIndex)] = std::move(value);
        return;
    }
    const int32_t index = highestItemIndex() + 1;
    setItemCount(index + 1);
    m_values[static_cast<size_t>(index)] = std::move(value);
    addRecord(hash, index, std::string(key));
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
