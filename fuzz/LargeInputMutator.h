#pragma once
// A mutator for the bencode targets that reaches what byte-level mutation
// of small inputs never does: a slice repeated thousands of times, or a
// dictionary of many distinct keys, inserted anywhere. Most mutations are
// still libFuzzer's own. Only the libFuzzer build (SORVENA_LIBFUZZER) has it.

#ifdef SORVENA_LIBFUZZER

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand random(seed);
    const auto below = [&random](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(random() % n); };
    if (below(8) != 0 || maxSize <= size) return LLVMFuzzerMutate(data, size, maxSize);

    std::string blob;
    const size_t room = maxSize - size;
    if (below(2) == 0 && size > 0) {
        // A short slice of the input, repeated to fill part of the room.
        const size_t from = below(size);
        const size_t length = 1 + below(std::min<size_t>(16, size - from));
        const std::string slice(reinterpret_cast<const char*>(data) + from, length);
        const size_t times = 1 + below(room / length);
        blob.reserve(times * length);
        for (size_t i = 0; i < times; ++i) blob += slice;
    } else {
        // Distinct keys: "d", then "<n>:k<i>" followed by a small value, then "e".
        static const char* const Values[] = {"i0e", "0:", "de", "le"};
        const char* value = Values[below(4)];
        blob = "d";
        for (size_t i = 0; blob.size() + 32 < room; ++i) {
            const std::string key = "k" + std::to_string(i);
            blob += std::to_string(key.size()) + ":" + key + value;
            if (below(65536) == 0) break;
        }
        blob += "e";
    }
    if (blob.size() > room) blob.resize(room);
    const size_t at = below(size + 1);
    std::memmove(data + at + blob.size(), data + at, size - at);
    std::memcpy(data + at, blob.data(), blob.size());
    return size + blob.size();
}

#endif
