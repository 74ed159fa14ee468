#include "metainfo/MessageDigests.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace sorvena;

namespace {

using CompressFunction = void (*)(uint32_t state[5], const uint8_t* blocks, size_t count);

// The real buffering and padding of TMD4Family over one chosen compression
// path, so the whole digest can be checked with each path on any machine.
class Sha1OverPath final : public TMD4Family {
public:
    explicit Sha1OverPath(CompressFunction compress) : TMD4Family(64, 20, InitialValues, true), m_compress(compress) {}
    std::string AlgorithmName() const override { return "SHA-1"; }

protected:
    void TransformBlocks(const uint8_t* blocks, size_t count) override
    {
        m_compress(m_chainingValues.data(), blocks, count);
        TMessageDigest::TransformBlocks(blocks, count);
    }

private:
    static constexpr uint32_t InitialValues[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    CompressFunction m_compress;
};

enum class Path { Dispatched, Portable, ShaNi };

std::unique_ptr<TMessageDigest> makeSha1(Path path)
{
    switch (path) {
    case Path::Portable:
        return std::make_unique<Sha1OverPath>(detail::Sha1CompressPortable);
    case Path::ShaNi:
        return std::make_unique<Sha1OverPath>(detail::Sha1CompressNi);
    case Path::Dispatched:
        break;
    }
    return std::make_unique<TSHA1>();
}

std::string digestOf(TMessageDigest& md, const std::vector<std::string_view>& pieces)
{
    md.Initialize();
    for (std::string_view piece : pieces)
        md.TransformText(piece);
    md.Complete();
    return std::string(reinterpret_cast<const char*>(md.DigestBytes()), static_cast<size_t>(md.DigestSize()));
}

std::string openSslSha1(std::string_view data)
{
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

std::string randomBytes(size_t length, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng() & 0xFF);
    return bytes;
}

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "(no exception)";
}

}  // namespace

TEST(MessageDigests, Fips180Vectors)
{
    struct Case {
        const char* name;
        std::string piece;
        int repeat;
        const char* hex;
    };
    const Case cases[] = {
        {"abc", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"empty", "", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"million a", "aaaaaaaaaaaaaaaaaaaaaaaaa", 40000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSHA1 sha;
        for (int i = 0; i < c.repeat; ++i)
            sha.TransformText(c.piece);
        sha.Complete();
        EXPECT_EQ(sha.DigestHex(), c.hex);
    }

    // The empty text may carry no address at all.
    TSHA1 sha;
    sha.TransformText(std::string_view{});
    sha.Transform(nullptr, 0);
    sha.Complete();
    EXPECT_EQ(sha.DigestHex(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Sha1Raw("abc"), openSslSha1("abc"));
}

class Sha1Path : public ::testing::TestWithParam<Path> {};

TEST_P(Sha1Path, AgreesWithOpenSslAtEverySplit)
{
    if (GetParam() == Path::ShaNi && !detail::Sha1NiAvailable())
        GTEST_SKIP() << "SHA instructions not supported by this processor";
    auto md = makeSha1(GetParam());

    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (size_t n : {1000u, 4096u + 17u, 65536u + 5u, (1u << 20) + 3u})
        lengths.push_back(n);

    for (size_t length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string data = randomBytes(length, static_cast<uint32_t>(length));
        const std::string_view all = data;
        const std::string expected = openSslSha1(data);

        std::vector<size_t> splits;
        if (length <= 300) {
            for (size_t s = 0; s <= length; ++s)
                splits.push_back(s);
        } else {
            splits = {0, 1, 55, 56, 63, 64, 65, length / 2, length - 1, length};
        }
        for (size_t s : splits)
            ASSERT_EQ(digestOf(*md, {all.substr(0, s), all.substr(s)}), expected) << "split at " << s;

        // A second piece that exactly fills the waiting block; the rest then
        // starts at an unaligned address for every k.
        for (size_t k = 1; k < 64 && length >= 64; ++k)
            ASSERT_EQ(digestOf(*md, {all.substr(0, k), all.substr(k, 64 - k), all.substr(64)}), expected)
                << "first piece " << k;
    }
}

std::string pathName(const ::testing::TestParamInfo<Path>& info)
{
    switch (info.param) {
    case Path::Portable:
        return "Portable";
    case Path::ShaNi:
        return "ShaNi";
    case Path::Dispatched:
        break;
    }
    return "Dispatched";
}

INSTANTIATE_TEST_SUITE_P(MessageDigests, Sha1Path, ::testing::Values(Path::Dispatched, Path::Portable, Path::ShaNi),
                         pathName);

TEST(MessageDigests, MisuseRaisesTheDocumentedErrors)
{
    const std::string already = "Message digest already complete.";
    const std::string notComplete = "Message digest not complete.";
    struct Case {
        const char* name;
        bool completeFirst;
        std::function<void(TSHA1&)> action;
        const std::string& message;
    };
    const Case cases[] = {
        {"second Complete", true, [](TSHA1& s) { s.Complete(); }, already},
        {"Transform after Complete", true, [](TSHA1& s) { s.Transform("x", 1); }, already},
        {"empty text after Complete", true, [](TSHA1& s) { s.TransformText(""); }, already},
        {"DigestHex before Complete", false, [](TSHA1& s) { (void)s.DigestHex(); }, notComplete},
        {"DigestBytes before Complete", false, [](TSHA1& s) { (void)s.DigestBytes(); }, notComplete},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSHA1 sha;
        sha.TransformText("abc");
        if (c.completeFirst)
            sha.Complete();
        EXPECT_EQ(messageOf([&] { c.action(sha); }), c.message);
    }
}

TEST(MessageDigests, InitializeStartsAFreshMessage)
{
    TSHA1 sha;
    sha.TransformText(std::string(70, 'z'));
    sha.Complete();
    sha.Initialize();
    EXPECT_EQ(messageOf([&] { (void)sha.DigestHex(); }), "Message digest not complete.");

    // Leave bytes waiting so a reset that forgot them would show.
    sha.TransformText(std::string(70, 'z'));
    sha.Initialize();
    sha.TransformText("abc");
    sha.Complete();
    EXPECT_EQ(sha.DigestHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
}
