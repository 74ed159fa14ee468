// Feeds arbitrary bytes to the response reader, as a server would send them,
// delivered in pieces whose sizes come from the input too. The reader must
// return, never throw, and keep the caller's body on failure.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/HttpWire.h"

using namespace sorvena;

namespace {
class FuzzSource final : public ByteSource {
public:
    FuzzSource(std::string_view bytes, uint8_t pieceSeed) : m_bytes(bytes), m_seed(pieceSeed) {}

    IoStatus Receive(char* buffer, size_t size, size_t& received, int) override
    {
        if (m_bytes.empty()) return IoStatus::Eof;
        m_seed = static_cast<uint8_t>(m_seed * 37 + 11);
        const size_t piece = std::min({size, m_bytes.size(), static_cast<size_t>(m_seed % 64 + 1)});
        std::copy_n(m_bytes.data(), piece, buffer);
        m_bytes.remove_prefix(piece);
        received = piece;
        return IoStatus::Ok;
    }

private:
    std::string_view m_bytes;
    uint8_t m_seed;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    FuzzSource source(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), data[0]);
    std::string body = "unchanged";
    int status = -1;
    const FetchError error = ReadResponse(source, 0, body, status);
    if (error != FetchError::None && body != "unchanged") std::abort();
    if (body.size() > HttpMaxBodyBytes) std::abort();
    return 0;
}
