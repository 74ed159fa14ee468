#pragma once
// Decoded bencode values and the keyed dictionary that holds them.
//
// A decoded tree is owned from its root: lists and dictionaries own their
// elements. One tree is used by one thread at a time.

#include <array>
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

// THash keeps the key index: 128 fixed buckets (the table never grows or
// rehashes), each bucket scanned in insertion order, keys compared byte for
// byte. TObjectHash adds the owned values, indexed by item index.
class THash : public TObject {
public:
    static constexpr int BucketExponent = 7;
    static constexpr uint32_t BucketCount = 1u << BucketExponent;
    static constexpr uint32_t BucketMask = BucketCount - 1;

    // The key hash of the bencode dictionary; the bucket is KeyHash(key) & BucketMask.
    static uint32_t KeyHash(std::string_view key);

    struct THashRecord {
        uint32_t Hash;
        int32_t ItemIndex;
        std::string Key;
        int32_t Next;  // the next record of the same bucket, -1 at the end
    };

    // Records in insertion order; buckets chain through Next.
    const std::vector<THashRecord>& Records() const { return m_records; }

protected:
    // Index of the record holding key, or -1. Throws EHashInvalidKeyError on an empty key.
    int32_t findRecord(std::string_view key, uint32_t* hashOut = nullptr) const;
    void addRecord(uint32_t hash, int32_t itemIndex, std::string key);
    void clearRecords();

    // The abstract operations of the key index.
    virtual void deleteItem(int32_t index) = 0;
    virtual void moveItem(int32_t from, int32_t to) = 0;
    virtual void setItemCount(int32_t count) = 0;
    virtual void clearItems() = 0;
    virtual int32_t highestItemIndex() const = 0;

private:
    std::vector<THashRecord> m_records;
    // Bucket heads and tails (record indexes, -1 when empty). A dictionary of
    // a few keys, the common case in torrents, has no table yet and scans its
    // records in order, which finds the same record; the table is built once
    // the dictionary holds SmallDictionaryKeys keys.
    static constexpr size_t SmallDictionaryKeys = 8;
    struct TBuckets {
        std::array<int32_t, BucketCount> Head;
        std::array<int32_t, BucketCount> Tail;
    };
    std::unique_ptr<TBuckets> m_buckets;
    void buildBuckets();
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
