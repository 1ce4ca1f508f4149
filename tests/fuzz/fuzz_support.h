// What the fuzz targets share: fields read from the input in order, and one
// text for how a run of loader code ended, so that a run and its reference
// compare as strings and a difference prints both.
#pragma once

#include "firmware/memory_map.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "tests/oracle/oracle.h"
#include "uefi/loader_globals.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "broken invariant: %s\n", what.c_str());
        std::abort();
    }
}

// The message is formed only on a difference: targets compare thousands of
// times per input.
inline void expect_same(const std::string& loader, const std::string& reference) {
    if (loader != reference) {
        require(false, "\n  loader:    " + loader + "\n  reference: " + reference);
    }
}

// Little-endian fields in order; past the end every field reads as 0, so any
// input is a whole one.
struct FuzzInput {
    const uint8_t* data;
    size_t left;

    template <typename T> T take() {
        T value{};
        const size_t n = std::min(sizeof(T), left);
        std::memcpy(&value, data, n);
        data += n;
        left -= n;
        return value;
    }

    // Mostly multiples of a page or of 256 bytes below 128 MiB, so that
    // ranges touch and overlap; 0xffff announces any 64-bit value.
    uint64_t value() {
        const uint16_t v = take<uint16_t>();
        return v == 0xffff  ? take<uint64_t>()
               : v & 0x8000 ? (v & 0x7fffull) << 8
                            : uint64_t{v} << 12;
    }

    // Records of (kind, repeat, type, base, length, step), each giving
    // `repeat` items `step` apart: item(kind, type, base, length), up to
    // `most` items in all.
    template <typename Item> void items(uint64_t most, Item item) {
        while (left != 0) {
            const uint8_t kind = take<uint8_t>();
            uint64_t repeat = kind & 0x80 ? take<uint16_t>() : 1 + (kind >> 4 & 7);
            const uint8_t type = take<uint8_t>();
            uint64_t base = value();
            const uint64_t length = value(), step = value();
            for (; repeat != 0 && most != 0; --repeat, --most, base += step) {
                item(kind, type, base, length);
            }
        }
    }
};

// Loader code against a fresh fake firmware and processor. A run gives what
// the action returns, or "check " and the message when it ended in a check
// failure (any other halt ends the fuzzing run).
struct LoaderRun {
    FakeFirmware firmware;

    explicit LoaderRun(uint64_t arena_bytes = 64 << 10) : firmware(arena_bytes) {
        fake_arch::reset();
        set_loader_globals(firmware.image_handle(), firmware.system_table());
    }

    template <typename Action> std::string operator()(Action&& action) {
        try {
            return action();
        } catch (const fake_arch::Halted&) {
            const std::u16string& data = firmware.exit_call.value().data; // message, CR, LF, NUL
            return "check " + std::string(data.begin(), data.end() - 3);  // the messages are ASCII
        }
    }

    // A reading of these descriptors at this stride, as the firmware hands it
    // over into a buffer of the run's.
    std::vector<uint64_t> map_buffer;
    MemoryMap reading(const std::vector<oracle_descriptor>& map, uint64_t stride) {
        firmware.memory_map.clear();
        for (const oracle_descriptor& d : map) {
            firmware.add_descriptor(d.type, d.base, d.pages);
        }
        firmware.descriptor_size = stride;
        map_buffer.assign(map.size() * stride / 8 + 1, 0);
        const uint64_t address = reinterpret_cast<uint64_t>(map_buffer.data());
        return read_memory_map(firmware.boot_services().GetMemoryMap, address,
                               map_buffer.size() * 8)
            .value();
    }
};
