// Size queries and readings of the memory map from a firmware that answers
// any status, size, stride (0 included), key and version. Each call must be
// offered what it should, and give the exact fields (with the buffer capacity
// after a query), its error, or the exact check failure: "division by zero",
// "exact division produced remainder", "integer overflow" in the capacity, or
// "index out of bounds" for a reading larger than the buffer offered.
#include "firmware/memory_map.h"
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

std::string fields(uint64_t key, uint64_t stride, uint64_t count, uint32_t version) {
    return dec(key) + " " + dec(stride) + " " + dec(count) + " " + dec(version);
}

template <typename Reading> std::string describe(const Reading& r) {
    if (!r.ok()) {
        return "error " + dec(static_cast<uint8_t>(r.error()));
    }
    const auto& v = r.value();
    const std::string read =
        fields(v.map_key, v.descriptor_size, v.descriptor_count, v.descriptor_version);
    if constexpr (requires { v.descriptors; }) {
        return read + " at " + dec(v.descriptors);
    } else {
        return read + " capacity " + dec(memory_map_capacity(v, kHeadroom));
    }
}

std::string expected_call(bool query, uint64_t buffer, uint64_t capacity) {
    const Answer& a = answer;
    const std::string offer = query ? "0@0 " : dec(capacity) + "@" + dec(buffer) + " ";
    uint64_t needed;
    if (a.status != EFI_SUCCESS && (!query || a.status != EFI_BUFFER_TOO_SMALL)) {
        const bool named =
            !query && (a.status == EFI_BUFFER_TOO_SMALL || a.status == EFI_INVALID_PARAMETER);
        return offer + "error " + dec(!named ? 2 : a.status == EFI_BUFFER_TOO_SMALL ? 0 : 1);
    }
    if (!query && a.size > capacity) {
        return offer + "check index out of bounds: index " + dec(a.size) + ", len " + dec(capacity);
    }
    if (a.stride == 0 || a.size % a.stride != 0) {
        return offer + (a.stride == 0 ? "check division by zero"
                                      : "check exact division produced remainder");
    }
    const std::string read = fields(a.key, a.stride, a.size / a.stride, a.version);
    if (!query) {
        return offer + read + " at " + dec(buffer);
    }
    if (__builtin_add_overflow(a.size / a.stride, kHeadroom, &needed) ||
        __builtin_mul_overflow(needed, a.stride, &needed)) {
        return offer + "check integer overflow";
    }
    return offer + read + " capacity " + dec(needed);
}

uint64_t number(FuzzInput& in) {
    const uint16_t v = in.take<uint16_t>();
    return v == 0xffff ? in.take<uint64_t>() : v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    LoaderRun run;
    for (int calls = 0; calls < 16 && !in.empty(); ++calls) {
        const bool query = (in.take<uint8_t>() & 1) != 0;
        answer.status = in.status();
        answer.stride = number(in);
        const uint64_t count = number(in);
        const uint8_t extra = in.take<uint8_t>();
        answer.size = answer.stride * count + (extra & 0x80 ? extra & 0x7f : 0);
        answer.key = in.take<uint64_t>();
        answer.version = in.take<uint32_t>();
        const uint64_t buffer = in.take<uint64_t>() & ~7ull, capacity = number(in);
        offered.clear();
        const std::string ending = run([&] {
            return query ? describe(query_memory_map(scripted_get_memory_map))
                         : describe(read_memory_map(scripted_get_memory_map, buffer, capacity));
        });
        expect_same(offered + ending, expected_call(query, buffer, capacity));
        if (ending.starts_with("check")) {
            return 0;
        }
    }
    return 0;
}
