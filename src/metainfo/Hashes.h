#pragma once
// Decoded bencode values and the keyed dictionary that holds them.
//
// A decoded tree is owned from its root: lists and dictionaries own their
// elements. One tree is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

// Base of every decoded value; readers tell the kinds apart with dynamic_cast.
class TObject {
public:
    virtual ~TObject() = default;
};

using TObjectPtr = std::unique_ptr<TObject>;

// A byte string (IsInteger false, Value 0) or an integer (IsInteger true,
// Text empty). Readers that expect a scalar read Text or Value without looking
// at IsInteger, so a scalar of the other kind reads as "" or 0.
class TIntString final : public TObject {
public:
    TIntString() = default;
    explicit TIntString(std::string text) : Text(std::move(text)) {}
    explicit TIntString(int64_t value) : Value(value), IsInteger(true) {}

    std::string Text;
    int64_t Value = 0;
    bool IsInteger = false;
};

// An ordered list that owns its elements.
class TObjectList final : public TObject {
public:
    std::vector<TObjectPtr> Items;
};

class EHashError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EHashFindError : public EHashError {
public:
    using EHashError::EHashError;
};
class EHashInvalidKeyError : public EHashError {
public:
    using EHashError::EHashError;
};

// THash keeps the key index. Keys are compared byte for byte; each record
// keeps the key's KeyHash, the dictionary's documented hash, whose bucket is
// KeyHash & BucketMask. That hash spreads real keys badly (keys that share an
// 8-byte suffix share a bucket) and anyone can choose keys against it, so the
// records are found through a table placed by a hash with a secret per-process
// seed, which grows with the keys: insert and lookup take expected constant
// time on any keys. Records stay in insertion order; a dictionary of a few
// keys, the common case in torrents, has no table and scans its records.
class THash : public TObject {
public:
    static constexpr int BucketExponent = 7;
    static constexpr uint32_t BucketCount = 1u << BucketExponent;
    static constexpr uint32_t BucketMask = BucketCount - 1;

    static uint32_t KeyHash(std::string_view key);

    struct THashRecord {
        uint32_t Hash;  // KeyHash(Key)
        int32_t ItemIndex;
        std::string Key;
    };

    // Records in insertion order.
    const std::vector<THashRecord>& Records() const { return m_records; }

    // How many times a key was compared with a stored key so far: for tests
    // that check the work of many inserts and lookups stays linear.
    uint64_t KeyComparisons() const { return m_keyComparisons; }

protected:
    // Index of the record holding key, or -1. Throws EHashInvalidKeyError on an empty key.
    int32_t findRecord(std::string_view key) const;
    // Appends a record for a key that findRecord did not find.
    void addRecord(int32_t itemIndex, std::string_view key);
    void clearRecords();

    // The abstract operations of the key index.
    virtual void deleteItem(int32_t index) = 0;
    virtual void moveItem(int32_t from, int32_t to) = 0;
    virtual void setItemCount(int32_t count) = 0;
    virtual void clearItems() = 0;
    virtual int32_t highestItemIndex() const = 0;

private:
    static constexpr size_t SmallDictionaryKeys = 8;
    // One slot of the open-addressing table: a record index (-1 when free)
    // and the low bits of the seeded hash, compared before the key.
    struct TSlot {
        int32_t Record;
        uint32_t Tag;
    };
    void insertSlot(int32_t record, uint64_t seeded);
    void growTable();

    std::vector<THashRecord> m_records;
    std::vector<TSlot> m_table;  // empty while the dictionary is small; otherwise a power of two, at most half full
    mutable uint64_t m_keyComparisons = 0;
};

class TObjectHash final : public THash {
public:
    TObjectHash() = default;
    TObjectHash(const TObjectHash&) = delete;
    TObjectHash& operator=(const TObjectHash&) = delete;

    bool Contains(std::string_view key) const;
    // Throws EHashFindError ("Key "<key>" not found") when the key is missing.
    TObject* Get(std::string_view key) const;
    // Stores value under key; an existing value is destroyed and replaced in its slot.
    void Put(std::string_view key, TObjectPtr value);
    void Clear();

    // Number of keys.
    size_t Count() const { return Records().size(); }
    // The value of a record (may be null).
    TObject* ValueAt(int32_t itemIndex) const { return m_values[static_cast<size_t>(itemIndex)].get(); }

protected:
    void deleteItem(int32_t index) override;
    void moveItem(int32_t from, int32_t to) override;
    void setItemCount(int32_t count) override;
    void clearItems() override;
    int32_t highestItemIndex() const override;

private:
    std::vector<TObjectPtr> m_values;
};

}  // namespace sorvena
