#pragma once
// Block-based message digests: TMessageDigest buffers input into blocks,
// TMD4Family adds chaining values and MD4-family padding, TSHA1 compresses.
//
// A digest object belongs to one thread. Feed it with Transform or
// TransformText, finish with Complete, then read DigestBytes or DigestHex.
// Feeding after Complete, or a second Complete, throws std::logic_error
// "Message digest already complete."; reading the digest before Complete
// throws std::logic_error "Message digest not complete.".

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvena {

class TMessageDigest {
public:
    virtual ~TMessageDigest() = default;
    TMessageDigest(const TMessageDigest&) = delete;
    TMessageDigest& operator=(const TMessageDigest&) = delete;

    void Transform(const void* m, size_t length);
    void TransformText(std::string_view text);
    virtual void Complete();
    virtual void Initialize();
    virtual std::string AlgorithmName() const = 0;

    // DigestSize() bytes, valid until the object is initialised again or destroyed.
    const uint8_t* DigestBytes() const;
    std::string DigestHex() const;

    int32_t BlockSize() const { return m_blockSize; }
    int32_t DigestSize() const { return m_digestSize; }

protected:
    TMessageDigest() = default;
    void CreateInternal(int32_t blockSize, int32_t digestSize);
    virtual void TransformBlocks(const uint8_t* blocks, size_t count);
    void checkNotComplete() const;

    std::vector<uint8_t> m_digest;
    std::vector<uint8_t> m_block;
    int32_t m_waiting = 0;
    int32_t m_blockSize = 0;
    int32_t m_digestSize = 0;
    int32_t m_blocksDone = 0;
    bool m_complete = false;
    // The block counter above is 32-bit as in the original format; this
    // 64-bit count keeps the message length right past 128 GiB.
    uint64_t m_totalBlocks = 0;
};

class TMD4Family : public TMessageDigest {
public:
    void Complete() override;
    void Initialize() override;

protected:
    TMD4Family(int32_t blockSize, int32_t digestSize, const uint32_t* initialChainingValues, bool bigEndian);

    std::vector<uint32_t> m_initialChainingValues;
    std::vector<uint32_t> m_chainingValues;
    bool m_bigEndian = true;
};

class TSHA1 final : public TMD4Family {
public:
    TSHA1();
    std::string AlgorithmName() const override { return "SHA-1"; }

    // Which compression path this process uses: "sha-ni" or "portable".
    static const char* ImplementationName();

protected:
    void TransformBlocks(const uint8_t* blocks, size_t count) override;
};

// One-shot helper: the 20 raw digest bytes of data.
std::string Sha1Raw(std::string_view data);

namespace detail {
// The two compression paths, exposed so that tests can check both.
void Sha1CompressPortable(uint32_t state[5], const uint8_t* blocks, size_t count);
// Only valid where Sha1NiAvailable() is true.
void Sha1CompressNi(uint32_t state[5], const uint8_t* blocks, size_t count);
bool Sha1NiAvailable();
}  // namespace detail

}  // namespace sorvena
