// A size query or a reading of the memory map from a firmware that answers
// any status, size, stride (0 included), key and version. The call must be
// offered what it should, and give the exact fields (with the buffer capacity
// after a query), its error, or the exact check failure: "division by zero",
// "exact division produced remainder", "integer overflow" in the capacity, or
// "index out of bounds" for a reading larger than the buffer offered.
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr uint64_t kHeadroom = 136;

struct Answer {
    EFI_STATUS status;
    uint64_t size, key, stride;
    uint32_t version;
} answer;

std::string offered;

EFI_STATUS EFIAPI scripted_get_memory_map(UINTN* size, EFI_MEMORY_DESCRIPTOR* buffer, UINTN* key,
                                          UINTN* stride, uint32_t* version) {
    offered = dec(*size) + "@" + dec(reinterpret_cast<uint64_t>(buffer)) + " ";
    *size = answer.size;
    *key = answer.key;
    *stride = answer.stride;
    *version = answer.version;
    return answer.status;
}

template <typename Reading> std::string describe(const Reading& r) {
    if (!r.ok()) {
        return "error " + dec(static_cast<uint8_t>(r.error()));
    }
    const auto& v = r.value();
    const std::string read = dec(v.map_key) + " " + dec(v.descriptor_size) + " " +
                             dec(v.descriptor_count) + " " + dec(v.descriptor_version);
    if constexpr (requires { v.descriptors; }) {
        return read + " at " + dec(v.descriptors);
    } else {
        return read + " capacity " + dec(memory_map_capacity(v, kHeadroom));
    }
}

std::string expected_call(bool query, uint64_t buffer, uint64_t capacity) {
    const Answer& a = answer;
    const bool too_small = a.status == EFI_BUFFER_TOO_SMALL;
    const uint64_t count = a.stride == 0 ? 0 : a.size / a.stride;
    const unsigned __int128 needed = (static_cast<unsigned __int128>(count) + kHeadroom) * a.stride;
    const std::string read =
        dec(a.key) + " " + dec(a.stride) + " " + dec(count) + " " + dec(a.version);
    const std::string ending =
        a.status != EFI_SUCCESS && (!query || !too_small)
            ? "error " + dec(query || !(too_small || a.status == EFI_INVALID_PARAMETER) ? 2
                             : too_small                                                ? 0
                                                                                        : 1)
        : !query && a.size > capacity
            ? "check index out of bounds: index " + dec(a.size) + ", len " + dec(capacity)
        : a.stride == 0          ? "check division by zero"
        : a.size % a.stride != 0 ? "check exact division produced remainder"
        : !query                 ? read + " at " + dec(buffer)
        : needed > ~0ull         ? "check integer overflow"
                                 : read + " capacity " + dec(static_cast<uint64_t>(needed));
    return (query ? "0@0 " : dec(capacity) + "@" + dec(buffer) + " ") + ending;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const auto number = [&] {
        const uint16_t v = in.take<uint16_t>();
        return v == 0xffff ? in.take<uint64_t>() : v;
    };
    const bool query = (in.take<uint8_t>() & 1) != 0;
    answer.status = in.status();
    answer.stride = number();
    const uint64_t count = number();
    const uint8_t extra = in.take<uint8_t>();
    answer.size = answer.stride * count + (extra & 0x80 ? extra & 0x7f : 0);
    answer.key = in.take<uint64_t>();
    answer.version = in.take<uint32_t>();
    const uint64_t buffer = in.take<uint64_t>() & ~7ull, capacity = number();
    LoaderRun run;
    const std::string ending = run([&] {
        return query ? describe(query_memory_map(scripted_get_memory_map))
                     : describe(read_memory_map(scripted_get_memory_map, buffer, capacity));
    });
    expect_same(offered + ending, expected_call(query, buffer, capacity));
    return 0;
}
